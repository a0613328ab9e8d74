#include "engine/engine.h"

#include <chrono>

namespace quillon {

Engine::Engine(Host& host) : host_(&host) {}

Engine::~Engine() {
    if (job.statisticsFile) {
        std::fclose(job.statisticsFile);
        job.statisticsFile = nullptr;
    }
}

std::string Engine::publicText(const std::string& text) const {
    const std::string& from = job.privatePrefix;
    if (from.empty()) return text;
    std::string out;
    size_t pos = 0;
    for (size_t at; (at = text.find(from, pos)) != std::string::npos; pos = at + from.size())
        out.append(text, pos, at - pos).append(job.publicFolder);
    return out.append(text, pos, std::string::npos);
}

void Engine::reportError(const std::string& text) {
    host_->messageBox(std::string(kEngineName) + " - error", publicText(text), MessageIcon::Error,
                      activeDialog_ != nullptr);
}

void Engine::reportWarning(const std::string& text) {
    if (activeDialog_) {
        host_->droppedWarning(publicText(text));
        return;
    }
    host_->messageBox(std::string(kEngineName) + " - warning", publicText(text), MessageIcon::Warning, false);
}

void Engine::showMessage(const std::string& text, MessageIcon icon) {
    host_->messageBox(kEngineName, publicText(text), icon, activeDialog_ != nullptr);
}

void Engine::logLine(const std::string& text) { host_->logLine(publicText(text)); }

void Engine::logDetail(const std::string& text) { host_->logDetail(text); }

void Engine::setProgress(const std::string& text, int percent) {
    if (!activeDialog_) return;
    activeDialog_->setStatusText(publicText(text));
    activeDialog_->setProgressValue(percent);
}

void Engine::pumpMessages() {
    if (stopLink_ && stopLink_->load()) job.stopRequested = true;
    if (!activeDialog_) return;
    activeDialog_->processEvents();
    if (stopPressed_) {
        stopPressed_ = false;
        // A stop already under way (Cancel, a second Ctrl-C) needs no question.
        if (!job.stopRequested) {
            const auto asked = std::chrono::steady_clock::now();
            const bool yes = host_->askYesNo(kEngineName, "Are you sure to stop it?");
            questionSeconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
            if (yes) job.stopRequested = true;
        }
    }
}

bool Engine::previewOn() const { return activeDialog_ && activeDialog_->previewChecked(); }

void Engine::showPreview(const uint8_t* bgra, int width, int height, int rowBytes) {
    if (activeDialog_) activeDialog_->showPreview(bgra, width, height, rowBytes);
}

}  // namespace quillon
