// Engine start-up, the copies between the record and the working copies,
// and the two entry points the application calls.
#pragma once

#include "engine/engine.h"

namespace quillon {

// The program stream extension names get when the request has none.
inline constexpr const char* kProgramStreamExtension = ".mpg";
// The profile section of the engine's user preferences.
inline constexpr const char* kProfileSection = "Quorvel Encoder";

// Start-up for code = tvStandard * 16 + preset kind: processor features,
// the profile keys, the preset, the settings file (engine.settingsFile) over
// it, the MPEG-1 preset when the file is rejected, then applySettings.
// Returns 0.
int initEngine(Engine& engine, int code);

// Record to working copies, and back.
void applySettings(Engine& engine);
void captureSettings(Engine& engine);

// Runs one request: keeps a copy of it, copies its maximum file size into
// the settings and starts the job. 31 when the job completed, 30 when it
// ended without completing, 4 when the dialog could not be created.
int engineConvert(Engine& engine, const ConversionRequest& request);

// The program's one engine behind the classic entry points. It reports
// through the host given here (a plain standard-error host until then) and
// runs the phases set on it.
Engine& defaultEngine();
void setDefaultEngineHost(Host& host);
int engineInit(int code);
int engineConvert(const ConversionRequest& request);

}  // namespace quillon
