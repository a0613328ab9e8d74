// quillon convert: opens the inputs, chooses target, standard and size as
// the window would, and converts them joined into one program stream or
// one program stream per input (batch), with the progress bar.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/commands.h"
#include "cli/terminal_host.h"
#include "disc/disc_image.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/fit_size.h"
#include "engine/job_driver.h"
#include "input/conversion_start.h"
#include "input/input_table.h"
#include "mux/multiplexer.h"
#if QUILLON_HAVE_PIPELINE
#include "engine/standard_phases.h"
#endif

namespace quillon::cli {

namespace {

constexpr const char* kHelp =
    "Usage: quillon convert [OPTIONS] INPUT...\n"
    "\n"
    "Converts AVI files (or any file the FFmpeg libraries decode) and image lists\n"
    "(.lst: one picture path per line, one picture per second) into MPEG program\n"
    "streams. By default all inputs are joined into one output.\n"
    "\n"
    "  -t, --target T      mpeg1, vcd, mpeg2, svcd or dvd (default vcd)\n"
    "      --pal, --ntsc   video standard (default: PAL when the first input runs at\n"
    "                      exactly 25 frames per second, else NTSC)\n"
    "  -s, --size WxH      picture size, 32..1920 x 32..1152 (default: the target's;\n"
    "                      the first input's for mpeg1 and mpeg2, the width rounded\n"
    "                      down to a multiple of 16, and the height too for mpeg1)\n"
    "  -o, --output FILE   the joined program stream (default: the first input's\n"
    "                      name with \".mpg\")\n"
    "      --batch         one output per input, named after the input; inputs of\n"
    "                      the same name get \"-2\", \"-3\", ... in their output's name\n"
    "      --output-dir D  where batch outputs go (default: beside each input)\n"
    "      --split MB      split the output into files of at most MB megabytes\n"
    "                      (1..4096)\n"
    "      --fill          stretch pictures to the size (default: keep their shape,\n"
    "                      with black borders)\n"
    "      --invert        flip pictures vertically\n"
    "      --crop X,Y,W,H  crop every picture before scaling\n"
    "      --quality Q     classic, high or best, for this job (default: the\n"
    "                      profile's choice, else high); [quality] keys of the\n"
    "                      settings file and --set change single tools\n"
    "      --two-pass      code the video in two passes: the first measures every\n"
    "                      picture, the second spends the average bitrate of\n"
    "                      avgBitrate (--set avgBitrate=BITS) where it shows most\n"
    "                      (dvd, svcd, mpeg2, mpeg1; quality high or best)\n"
    "      --fit SIZE      make each output's program stream (all split parts\n"
    "                      together) just fit SIZE: two passes at the average video\n"
    "                      bitrate the duration, the sound and the packing leave.\n"
    "                      SIZE is bytes, or a number with k, M or G (powers of\n"
    "                      1024, such as 700M or 4.3G), or a disc: dvd5 =\n"
    "                      4,700,372,992 bytes, dvd9 = 8,543,666,176, cd74 =\n"
    "                      681,984,000, cd80 = 737,280,000 (their data capacity).\n"
    "                      A size out of the target's reach is refused with the\n"
    "                      smallest and largest it can make\n"
    "      --settings FILE settings file instead of \"default.ini\"\n"
    "      --set KEY=VALUE change one setting (repeatable)\n"
    "      --stats FILE    write the encoder's statistics to FILE\n"
    "      --keep-temp     keep the video and audio elementary streams (DVD\n"
    "                      conversions always keep them)\n"
    "  -y, --overwrite     replace output files (and a disc image) that exist\n"
    "                      (without it an existing one is refused; on a terminal\n"
    "                      you are asked)\n"
    "      --disc PATH     after the conversion, make a disc image of the outputs:\n"
    "                      dvd: PATH.iso (ISO image with UDF) or the folder PATH\n"
    "                      holding VIDEO_TS, one title per output; vcd, svcd:\n"
    "                      PATH.cue and its .bin, one track per output file\n"
    "      --chapters MIN  dvd disc: a chapter every MIN minutes (0.01..999,\n"
    "                      default 5; at most 99 chapters a title)\n"
    "  -q, --quiet         no log lines and no progress\n"
    "  -v, --verbose       the encoder's verbose output, the multiplexer's details and\n"
    "                      the media libraries' own messages\n"
    "\n"
    "Sound is made 16-bit stereo at 44.1 kHz (VCD, SVCD), 48 kHz (DVD) or the first\n"
    "input's rate (mpeg1, mpeg2); compressed sound is decoded first. Inputs without\n"
    "sound get silence.\n"
    "\n"
    "Disc images need dvdauthor and genisoimage (dvd) or vcdimager (vcd, svcd).\n"
    "\n"
    "Outputs are written under hidden names in their folder and get their names\n"
    "only when they are done, so an existing file is never half replaced. Ctrl-C,\n"
    "SIGTERM and SIGHUP stop: the output then holds the part done.\n"
    "\n"
    "Exit status: 0 when every output completed (the files named by \"Wrote\" lines\n"
    "exist and are whole), 1 when a conversion failed, was stopped or would replace\n"
    "a file, 2 on a usage error.\n";

bool parseSize(const std::string& text, std::string* width, std::string* height) {
    const size_t x = text.find_first_of("xX");
    if (x == std::string::npos) return false;
    *width = text.substr(0, x);
    *height = text.substr(x + 1);
    return !width->empty() && !height->empty();
}

bool parseCrop(const std::string& text, int v[4]) {
    int n = 0;
    size_t pos = 0;
    while (n < 4) {
        size_t end = text.find(',', pos);
        std::string part = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos || part.size() > 6) return false;
        v[n++] = std::stoi(part);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return n == 4 && text.find(',', pos) == std::string::npos && v[2] > 0 && v[3] > 0;
}

// A question asked before any work: only a typed "y" is a yes.
bool askOnTerminal(const std::string& question) {
    std::fprintf(stderr, "%s (y/n) ", question.c_str());
    std::fflush(stderr);
    char line[64];
    if (!std::fgets(line, sizeof line, stdin)) {
        std::fputc('\n', stderr);
        return false;
    }
    return line[0] == 'y' || line[0] == 'Y';
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) text += (i ? ", " : "") + names[i];
    return text;
}

}  // namespace

int convertCommand(const std::vector<std::string>& args) {
    const std::string name = "convert";
    TargetOptions options(kTargetVcd, -1);
    std::string sizeText, output, outputDir, settingsFile, statsFile;
    bool batch = false, fill = false, invert = false, keepTemp = false, quiet = false, verbose = false;
    bool overwrite = false;
    bool cropGiven = false;
    int crop[4] = {0, 0, 0, 0};
    int split = 0;
    int quality = -1;
    std::string qualityError;
    bool twoPass = false;
    int64_t fitSize = 0;
    std::string discPath;
    double chapterMinutes = 0;
    std::vector<std::string> inputs;

    ArgumentReader reader(args);
    while (!reader.done()) {
        std::string opt = reader.next(), value;
        if (opt == "--help" || opt == "-h") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        } else if (options.take(reader, opt)) {
            if (!options.error().empty()) return usageError(name, options.error());
        } else if (takeQualityOption(reader, opt, &quality, &qualityError)) {
            if (!qualityError.empty()) return usageError(name, qualityError);
        } else if (opt == "--size" || opt == "-s") {
            if (!reader.value(sizeText)) return usageError(name, "--size needs WxH");
        } else if (opt == "--output" || opt == "-o") {
            if (!reader.value(output) || output.empty()) return usageError(name, "--output needs a file name");
        } else if (opt == "--batch") {
            batch = true;
        } else if (opt == "--output-dir") {
            if (!reader.value(outputDir) || outputDir.empty()) return usageError(name, "--output-dir needs a folder");
        } else if (opt == "--split") {
            if (!reader.value(value)) return usageError(name, "--split needs a size in megabytes");
            bool digits = !value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos;
            split = digits ? std::stoi(value) : 0;
            if (split < kMinSplitMB || split > kMaxSplitMB) return usageError(name, "Max File size range is (1M .. 4096M).");
        } else if (opt == "--fill") {
            fill = true;
        } else if (opt == "--invert") {
            invert = true;
        } else if (opt == "--crop") {
            if (!reader.value(value) || !parseCrop(value, crop))
                return usageError(name, "--crop needs X,Y,W,H with a width and height above 0");
            cropGiven = true;
        } else if (opt == "--settings") {
            if (!reader.value(settingsFile) || settingsFile.empty())
                return usageError(name, "--settings needs a file name");
        } else if (opt == "--two-pass") {
            twoPass = true;
        } else if (opt == "--fit") {
            if (!reader.value(value)) return usageError(name, "--fit needs a size (such as 700M or dvd5)");
            std::string why;
            if (!parseFitSize(value, &fitSize, &why)) return usageError(name, "--fit: " + why);
        } else if (opt == "--stats") {
            if (!reader.value(statsFile) || statsFile.empty()) return usageError(name, "--stats needs a file name");
        } else if (opt == "--disc") {
            if (!reader.value(discPath) || discPath.empty()) return usageError(name, "--disc needs the image's name");
        } else if (opt == "--chapters") {
            if (!reader.value(value)) return usageError(name, "--chapters needs a number of minutes");
            char* end = nullptr;
            chapterMinutes = value.empty() || value.size() > 12 ? 0 : std::strtod(value.c_str(), &end);
            if (!end || *end || !(chapterMinutes >= 0.01 && chapterMinutes <= 999))
                return usageError(name, "--chapters needs minutes, 0.01..999 (such as 5 or 2.5)");
        } else if (opt == "--keep-temp") {
            keepTemp = true;
        } else if (opt == "--overwrite" || opt == "-y") {
            overwrite = true;
        } else if (opt == "--quiet" || opt == "-q") {
            quiet = true;
        } else if (opt == "--verbose" || opt == "-v") {
            verbose = true;
        } else if (!opt.empty() && opt[0] == '-' && opt != "-") {
            return usageError(name, "unknown option \"" + opt + "\"");
        } else {
            inputs.push_back(opt);
        }
    }
    if (inputs.empty()) return usageError(name, "no input given");
    if (batch && !output.empty() && inputs.size() > 1)
        return usageError(name, "--output names one file; with --batch and several inputs use --output-dir");
    if (!batch && !outputDir.empty()) return usageError(name, "--output-dir is for --batch");
    std::string widthText, heightText;
    if (!sizeText.empty() && !parseSize(sizeText, &widthText, &heightText))
        return usageError(name, "--size needs WxH, for example 352x240");
    const bool settingsGiven = !settingsFile.empty();
    if (settingsGiven) {
        const std::string problem = checkSettingsOption(settingsFile);
        if (!problem.empty()) return usageError(name, problem);
    }
    const int target = options.kind;
    disc::DiscFormat discFormat = disc::DiscFormat::Dvd;
    if (!discPath.empty()) {
        if (!disc::discFormatOfTarget(target, &discFormat)) return usageError(name, disc::noDiscMessage(targetName(target)));
        if (chapterMinutes && discFormat != disc::DiscFormat::Dvd) return usageError(name, "--chapters is for dvd discs");
        // An old image in the way is settled with the other existing files.
        const std::string problem = disc::checkImagePath(discFormat, discPath, true);
        if (!problem.empty()) {
            std::fprintf(stderr, "quillon convert: %s\n", problem.c_str());
            return kExitFailed;
        }
    } else if (chapterMinutes) {
        return usageError(name, "--chapters is for --disc");
    }
    int pal = options.pal;
    std::vector<std::string>& sets = options.sets;
    if (!statsFile.empty()) sets.push_back("statisticsFilename=" + statsFile);
    if (verbose) sets.push_back("verbose=1");
    if (twoPass) sets.push_back("twoPass=1");
    if (keepTemp) {
        sets.push_back("saveTempVideo=1");
        sets.push_back("saveTempAudio=1");
    }

    TerminalHost::Options hostOptions;
    hostOptions.quiet = quiet;
    hostOptions.verbose = verbose;
    TerminalHost host(hostOptions);

    InputTable table;
    for (const std::string& path : inputs) {
        if (!table.open(path, host)) return kExitFailed;
        InputFileEntry& e = table.entry(table.count() - 1);
        e.fillIn = fill;
        e.invert = invert;
        if (cropGiven) {
            e.cropX = crop[0];
            e.cropY = crop[1];
            e.cropWidth = crop[2];
            e.cropHeight = crop[3];
        }
    }
    if (cropGiven) {
        for (int i = 0; i < table.count(); ++i) {
            const InputFileEntry& e = table.entry(i);
            if (static_cast<long>(crop[0]) + crop[2] > e.width || static_cast<long>(crop[1]) + crop[3] > e.height)
                return usageError(name, "--crop " + std::to_string(crop[0]) + "," + std::to_string(crop[1]) + "," +
                                            std::to_string(crop[2]) + "," + std::to_string(crop[3]) +
                                            " does not fit the " + std::to_string(e.width) + "x" +
                                            std::to_string(e.height) + " picture of " + e.path);
        }
    }
    InputFileEntry& first = table.entry(0);
    if (pal < 0) pal = standardForEntry(first);

    ConversionChoice choice;
    choice.target = target;
    choice.pal = pal;
    const OutputSize size = targetSize(target, pal, &first);
    choice.width = size.width;
    choice.height = size.height;
    if (!widthText.empty()) {
        choice.width = widthFieldValue(widthText, -1, target, true);
        choice.height = heightFieldValue(heightText, -1, target, true);
        if (choice.width < 0 || choice.height < 0)
            return usageError(name, "--size must be 32..1920 x 32..1152");
        if (choice.width % 2 || choice.height % 2) return usageError(name, "--size must have an even width and height");
    } else if (target == kTargetMpeg1 || target == kTargetMpeg2) {
        // The input's own size, under the same range and rounding rules.
        auto clampText = [](int v, int lo, int hi) { return std::to_string(v < lo ? lo : v > hi ? hi : v); };
        choice.width = widthFieldValue(clampText(size.width, kMinOutputWidth, kMaxOutputWidth), size.width, target, true);
        choice.height =
            heightFieldValue(clampText(size.height, kMinOutputHeight, kMaxOutputHeight), size.height, target, true);
    }
    choice.joiner = !batch;
    choice.splitEnabled = split > 0;
    choice.maxFileSizeMB = split > 0 ? split : 600;
    choice.outputDir = outputDir;
    if (!batch) {
        choice.outputName = output.empty() ? defaultOutputName(first.path) : output;
    } else if (!output.empty()) {
        first.outputName = output;
    }

    Engine engine(host);
    if (!settingsFile.empty()) engine.settingsFile = settingsFile;
    engine.qualityOverride = quality;
    engine.fitSize = fitSize;
    initEngine(engine, pal * 16 + target);
    if (startRejected(engine, settingsGiven)) return usageError(name, startRejection(engine));
    if (!applySetOptions(engine, name, sets)) return kExitUsage;

    DeliveryHooks hooks;
    hooks.pump = [&engine] {
        engine.pumpMessages();
        return engine.stopRequested();
    };
    hooks.reportError = [&host](const std::string& caption, const std::string& text) {
        host.messageBox(caption, text, MessageIcon::Error, true);
    };
    // A broken input ends the job unfinished instead of as a shorter output.
    hooks.abortJob = [&engine] { engine.job.stopRequested = true; };
    hooks.logDetail = [&host](const std::string& line) { host.logDetail(line); };
    std::vector<PlannedOutput> plan = planConversions(table, choice, hooks);
    for (int i : giveBatchOutputsOwnNames(plan)) {
        // Said whatever -q asks: the user looks for the file by its name.
        std::fprintf(stderr, "quillon convert: %s has the name of an earlier output; it goes to %s\n",
                     table.entry(plan[i].entries.front()).path.c_str(), plan[i].outputName.c_str());
    }
    if (batch && !quiet) {
        for (const PlannedOutput& out : plan)
            std::fprintf(stderr, "%s -> %s\n", table.entry(out.entries.front()).path.c_str(), out.outputName.c_str());
    }
    // Every file the conversion would write, checked before any work.
    const OutputFilesCheck check = checkOutputFiles(
        table, plan,
        [&engine](const PlannedOutput& out) {
            ConversionRequest r = out.request;
            r.outputName = out.outputName.c_str();
            return plannedJobFiles(engine, r);
        });
    if (!check.refusal.empty()) {
        if (check.conflict) return usageError(name, check.refusal);
        std::fprintf(stderr, "quillon convert: %s\n", check.refusal.c_str());
        return kExitFailed;
    }
    if (!check.existing.empty() && !overwrite) {
        const bool ask = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
        for (const std::string& path : check.existing) {
            if (ask && askOnTerminal("quillon convert: " + path + " exists. Replace it?")) continue;
            std::fprintf(stderr, "quillon convert: %s exists; it was left as it is (-y replaces it)\n",
                         path.c_str());
            return kExitFailed;
        }
    }
    bool replaceImage = overwrite;
    if (!discPath.empty()) {
        std::vector<std::string> files;
        for (const PlannedOutput& out : plan) {
            ConversionRequest r = out.request;
            r.outputName = out.outputName.c_str();
            const PlannedJobFiles planned = plannedJobFiles(engine, r);
            files.push_back(out.outputName);
            files.insert(files.end(), planned.streams.begin(), planned.streams.end());
            if (!planned.statistics.empty()) files.push_back(planned.statistics);
        }
        for (int i = 0; i < table.count(); ++i) files.push_back(table.entry(i).path);
        const std::string clash = disc::imageClash(discFormat, discPath, files);
        if (!clash.empty()) return usageError(name, "the disc image " + discPath + " would replace " + clash);
        // Only an old image in the way (anything else was refused above):
        // replaced with -y or the user's yes at a terminal.
        if (!overwrite && !disc::checkImagePath(discFormat, discPath, false).empty()) {
            const bool ask = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
            if (!ask || !askOnTerminal("quillon convert: the disc image " + discPath + " exists. Replace it?")) {
                std::fprintf(stderr, "quillon convert: the disc image %s exists; it was left as it is (-y replaces it)\n",
                             discPath.c_str());
                return kExitFailed;
            }
            replaceImage = true;
        }
    }
    // Files there now were agreed to above; one that appears while the
    // conversion runs is left whole unless -y was given.
    engine.replaceExisting = overwrite || !check.existing.empty();
#if QUILLON_HAVE_PIPELINE
    engine.setPhases(&standardPhases());
#else
    host.messageBox("quillon convert", "This build has no encoders (the video, audio and multiplexer parts are missing).",
                    MessageIcon::Error, false);
    return kExitFailed;
#endif
    std::vector<std::string> written;
    std::vector<disc::DiscOutput> discOutputs;
    std::vector<std::string> streamsOnly;
    bool missing = false;
    // Generic MPEG-1 takes the pel shape of its input, unless the user chose one.
    bool aspectGiven = false;
    for (const std::string& set : sets) aspectGiven = aspectGiven || set.rfind("aspectRatio=", 0) == 0;
    const int initialAspect = aspectGiven ? 0 : engine.record.aspectRatio;
    const int completed = runConversions(table, plan, [&](PlannedOutput& out) {
        applyPelAspectCode(engine.record, out.pelAspectCode, initialAspect);
        applyPelAspectCode(engine.work, out.pelAspectCode, initialAspect);
        const int result = engineConvert(engine, out.request);
        const JobValues& job = engine.job;
        if (result == kEngineCompleted) {
            for (const std::string& path : job.filesWritten) {
                written.push_back(path);
                if (::access(path.c_str(), F_OK) != 0) missing = true;
            }
            if (job.filesWritten.empty()) missing = true;
            if (!job.filesWritten.empty() && !engine.work.multiplexVideo && !engine.work.multiplexAudio)
                streamsOnly.push_back(joined(job.filesWritten));
            if (!discPath.empty()) {
                const std::vector<std::string> streams = plannedJobFiles(engine, out.request).streamNames;
                discOutputs.push_back(
                    {disc::programStreamFiles(job.filesWritten, streams), out.request.width, out.request.height});
            }
            return result;
        }
        // Said whatever -q asks: what the run ended as, and what it left.
        if (job.stopped) {
            if (job.filesWritten.empty())
                std::fprintf(stderr, "quillon convert: stopped; nothing of %s was kept\n", out.outputName.c_str());
            else
                std::fprintf(stderr, "quillon convert: stopped; the part done before the stop is in %s\n",
                             joined(job.filesWritten).c_str());
        } else if (job.filesWritten.empty()) {
            std::fprintf(stderr, "quillon convert: failed; nothing of %s was kept\n", out.outputName.c_str());
        } else {
            std::fprintf(stderr, "quillon convert: failed; left %s (asked to be kept)\n",
                         joined(job.filesWritten).c_str());
        }
        return result;
    });
    if (!quiet) {
        for (const std::string& path : written) std::printf("Wrote %s\n", path.c_str());
    }
    for (const std::string& streams : streamsOnly)
        std::fprintf(stderr, "quillon convert: only one stream was encoded (userEncodeVideo, userEncodeAudio), so no "
                             "program stream was made; the stream is in %s\n", streams.c_str());
    // A run refused for a settings value the target cannot take is the
    // user's to mend, like any other rejected value.
    if (engine.job.settingsRefused) return kExitUsage;
    if (completed != static_cast<int>(plan.size())) {
        if (batch && completed + 1 < static_cast<int>(plan.size())) {
            std::fprintf(stderr, "quillon convert: %d of %zu outputs were not started\n",
                         static_cast<int>(plan.size()) - completed - 1, plan.size());
        }
        return kExitFailed;
    }
    if (missing) {
        std::fprintf(stderr, "quillon convert: a conversion reported success but left no file\n");
        return kExitFailed;
    }
    if (!discPath.empty()) {
        disc::DiscRequest request;
        request.format = discFormat;
        request.pal = pal != 0;
        request.path = discPath;
        request.chapterMinutes = chapterMinutes ? chapterMinutes : 5;
        request.overwrite = replaceImage;
        request.outputs = std::move(discOutputs);
        if (!disc::makeDisc(engine, request)) return kExitFailed;
        if (!quiet) {
            std::printf("Wrote %s\n", discPath.c_str());
            if (discFormat != disc::DiscFormat::Dvd) std::printf("Wrote %s\n", disc::binNameFor(discPath).c_str());
        }
    }
    if (!quiet) std::fprintf(stderr, "quillon convert: finished\n");
    return kExitOk;
}

}  // namespace quillon::cli
