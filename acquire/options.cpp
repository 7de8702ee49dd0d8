// twacquire's command line: reading the options and printing the usage text.
#include "acquire/options.h"

#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A whole decimal number within the option's range; anything else is
// refused with a line naming the option.
bool ParseNumber(const std::string& option, const std::string& text, long& number)
{
    struct Range {
        const char* Option;
        long Low, High;
        const char* Says;
    };
    static const Range ranges[] = {
        {"--count", -1, 32767, "-1 or 1 to 32767"},
        {"--stop-after", 1, 32767, "1 to 32767"},
        {"--strip", 1, 0x7FFFFFFF, "1 to 2147483647 bytes"},
        {"--timeout", 1, 86400, "1 to 86400 seconds"},
        {"--brightness", -1000, 1000, "-1000 to 1000"},
        {"--contrast", -1000, 1000, "-1000 to 1000"},
        {"--quality", 0, 100, "0 to 100"},
        {"--frames", 1, 32767, "1 to 32767"},
        {"--every", 0, 86400000, "0 to 86400000 ms"},
        {"--delay", 0, 86400000, "0 to 86400000 ms"},
        {"--average", 1, 64, "1 to 64"},
    };
    const Range* range = nullptr;
    for (const Range& r : ranges) {
        if (option == r.Option) {
            range = &r;
        }
    }
    char* end = nullptr;
    errno = 0;
    number = std::strtol(text.c_str(), &end, 10);
    const bool whole = !text.empty() && end != nullptr && *end == '\0' && errno == 0;
    if (range == nullptr || !whole || number < range->Low || number > range->High ||
        (option == "--count" && number == 0)) {
        std::fprintf(stderr, "twacquire: %s takes %s, not \"%s\"\n", option.c_str(), range ? range->Says : "a number",
                     text.c_str());
        return false;
    }
    return true;
}

// X,Y,W,H: four whole numbers of pixels, the width and height at least 1;
// anything else is refused with one line.
bool ParseRegion(const std::string& text, long (&region)[4])
{
    size_t from = 0;
    bool ok = true;
    for (int i = 0; i < 4 && ok; ++i) {
        const size_t comma = i < 3 ? text.find(',', from) : text.size();
        const std::string part = comma == std::string::npos ? "" : text.substr(from, comma - from);
        char* end = nullptr;
        errno = 0;
        region[i] = std::strtol(part.c_str(), &end, 10);
        ok = !part.empty() && part[0] != '-' && part[0] != '+' && *end == '\0' && errno == 0 &&
             region[i] <= 32767 && (i < 2 || region[i] >= 1);
        from = comma + 1;
    }
    // The right and bottom edges go to the source as TW_FIX32 too.
    ok = ok && region[0] + region[2] <= 32767 && region[1] + region[3] <= 32767;
    if (!ok) {
        std::fprintf(stderr,
                     "twacquire: --region takes X,Y,W,H in pixels (X+W and Y+H at most 32767, W and H at least 1), "
                     "not \"%s\"\n",
                     text.c_str());
    }
    return ok;
}

}  // namespace

void Usage(FILE* out)
{
    std::fprintf(out,
        "usage: twacquire [options]\n"
        "  --list                 list the sources the Data Source Manager finds\n"
        "  --identity             print the identity of the source\n"
        "  --source NAME          the source to open (default: %s)\n"
        "  --mech native|memory|file   transfer mechanism (default native)\n"
        "  --count N              CAP_XFERCOUNT: images to transfer, -1 for any number (default 1)\n"
        "  --stop-after N         with --count -1: end with MSG_RESET after N images\n"
        "  --pixel gray|rgb       ICAP_PIXELTYPE to ask for\n"
        "  --format bmp|tiff      file format of the images (default: bmp for native,\n"
        "                         tiff for memory and file transfers)\n"
        "  --format png|jpeg|tiffmulti  for a file transfer: PNG, JPEG, or every image\n"
        "                         as a page of one TIFF (images.tif)\n"
        "  --quality N            JPEG quality asked of the source, 0 to 100\n"
        "  --frames N --every MS [--delay MS]  time-lapse: the source captures N images on\n"
        "                         its own clock, MS apart (the first after --delay), and\n"
        "                         holds them until they are transferred (--count N with it)\n"
        "  --average N            each image the mean of N consecutive frames, 1 to 64\n"
        "  --format VIDEOFORMAT   any other name: the board's video format, e.g. M_PAL_RGB\n"
        "  --channel green|extern|N  the board's input channel (sync source of the RGB input)\n"
        "  --brightness N         ICAP_BRIGHTNESS, -1000 to 1000 (0: the board's middle level)\n"
        "  --contrast N           ICAP_CONTRAST, -1000 to 1000\n"
        "  --strip BYTES          memory transfer buffer size (default: the source's preferred)\n"
        "  --ui                   enable the source with its user interface\n"
        "  --setup-only           show the source's settings dialog alone (MSG_ENABLEDSUIONLY),\n"
        "                         no transfer; ends when the user closes the dialog\n"
        "  --out DIR              folder for the images (default: current)\n"
        "  --unattended           dismiss the source's message boxes, printing them\n"
        "                         (the default when standard input is not a terminal)\n"
        "  --timeout SECONDS      give up waiting for the source (default 60; none with --ui)\n"
        "  --manager twain32|twaindsm  the Data Source Manager to load: TWAIN_32.DLL\n"
        "                         (default) or the 2.x manager TWAINDSM.DLL\n"
        "  --region X,Y,W,H       deliver only this rectangle of the frame, in pixels\n"
        "                         (DAT_IMAGELAYOUT)\n"
        "  --load-setup FILE      restore a setup saved with --save-setup (DAT_CUSTOMDSDATA)\n"
        "  --save-setup FILE      save the source's whole setup at the end of the session\n"
        "  --check                read each image as an application would and compare it\n"
        "                         with the simulated board's gradient pattern (its rectangle\n"
        "                         for a region)\n"
        "  --help                 this text\n",
        DefaultSource);
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    options.Unattended = !_isatty(_fileno(stdin));
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "twacquire: %s needs a value\n", arg.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--list") {
            options.List = true;
        } else if (arg == "--identity") {
            options.Identity = true;
        } else if (arg == "--ui") {
            options.ShowUi = true;
        } else if (arg == "--setup-only") {
            options.SetupOnly = true;
            options.ShowUi = true;
        } else if (arg == "--unattended") {
            options.Unattended = true;
        } else if (arg == "--source") {
            if (!value(options.Source)) return false;
        } else if (arg == "--out") {
            if (!value(options.OutDir)) return false;
        } else if (arg == "--mech") {
            if (!value(text)) return false;
            if (text == "native") {
                options.Mechanism = TWSX_NATIVE;
            } else if (text == "memory") {
                options.Mechanism = TWSX_MEMORY;
            } else if (text == "file") {
                options.Mechanism = TWSX_FILE;
            } else {
                std::fprintf(stderr, "twacquire: unknown mechanism %s\n", text.c_str());
                return false;
            }
        } else if (arg == "--pixel") {
            if (!value(text)) return false;
            if (text != "gray" && text != "rgb") {
                std::fprintf(stderr, "twacquire: unknown pixel type %s\n", text.c_str());
                return false;
            }
            options.PixelType = text == "gray" ? TWPT_GRAY : TWPT_RGB;
        } else if (arg == "--manager") {
            if (!value(text)) return false;
            if (text != "twain32" && text != "twaindsm") {
                std::fprintf(stderr, "twacquire: unknown manager %s\n", text.c_str());
                return false;
            }
            options.Manager = text == "twain32" ? "TWAIN_32.DLL" : "TWAINDSM.DLL";
        } else if (arg == "--format") {
            // bmp and tiff name the files; anything else is the board's
            // video format, which only the source can judge.
            if (!value(text)) return false;
            if (text.empty()) {
                std::fprintf(stderr, "twacquire: --format needs a file or video format name\n");
                return false;
            }
            const bool file = text == "bmp" || text == "tiff" || text == "png" || text == "jpeg" || text == "tiffmulti";
            (file ? options.Format : options.VideoFormat) = text;
        } else if (arg == "--channel") {
            if (!value(text)) return false;
            char* end = nullptr;
            const unsigned long number = std::strtoul(text.c_str(), &end, 0);
            if (text == "green" || text == "extern") {
                options.Channel = text == "green" ? 0x40000000 : 0x01000000;
            } else if (!text.empty() && text[0] != '-' && *end == '\0' && number <= 0x7FFFFFFF) {
                options.Channel = static_cast<long>(number);
            } else {
                std::fprintf(stderr, "twacquire: --channel takes green, extern or a channel number, not \"%s\"\n",
                             text.c_str());
                return false;
            }
        } else if (arg == "--brightness" || arg == "--contrast") {
            if (!value(text)) return false;
            long number = 0;
            if (!ParseNumber(arg, text, number)) {
                return false;
            }
            (arg == "--brightness" ? options.HasBrightness : options.HasContrast) = true;
            (arg == "--brightness" ? options.Brightness : options.Contrast) = number;
        } else if (arg == "--quality") {
            if (!value(text)) return false;
            long number = 0;
            if (!ParseNumber(arg, text, number)) {
                return false;
            }
            options.Quality = static_cast<int>(number);
        } else if (arg == "--frames" || arg == "--every" || arg == "--delay" || arg == "--average") {
            if (!value(text)) return false;
            long number = 0;
            if (!ParseNumber(arg, text, number)) {
                return false;
            }
            (arg == "--frames" ? options.Frames
             : arg == "--every" ? options.EveryMs
             : arg == "--delay" ? options.DelayMs
                                : options.Average) = number;
        } else if (arg == "--count" || arg == "--stop-after" || arg == "--strip" || arg == "--timeout") {
            if (!value(text)) return false;
            long number = 0;
            if (!ParseNumber(arg, text, number)) {
                return false;
            }
            if (arg == "--count") {
                options.Count = static_cast<int>(number);
                options.CountGiven = true;
            } else if (arg == "--stop-after") {
                options.StopAfter = static_cast<int>(number);
            } else if (arg == "--strip") {
                options.StripBytes = static_cast<TW_UINT32>(number);
            } else {
                options.TimeoutSeconds = static_cast<int>(number);
                options.TimeoutGiven = true;
            }
        } else if (arg == "--region") {
            if (!value(text) || !ParseRegion(text, options.Region)) return false;
            options.RegionGiven = true;
        } else if (arg == "--save-setup") {
            if (!value(options.SaveSetup)) return false;
        } else if (arg == "--load-setup") {
            if (!value(options.LoadSetup)) return false;
        } else if (arg == "--check") {
            options.Check = true;
        } else if (arg == "--help") {
            options.Help = true;
        } else {
            std::fprintf(stderr, "twacquire: unknown option %s\n", arg.c_str());
            return false;
        }
    }
    if (options.Format.empty()) {
        options.Format = options.Mechanism == TWSX_NATIVE ? "bmp" : "tiff";
    }
    // The tool writes BMP and TIFF of native and memory images itself; the
    // other formats are the source's to write.
    if (options.Mechanism != TWSX_FILE && options.Format != "bmp" && options.Format != "tiff") {
        std::fprintf(stderr, "twacquire: --format %s needs --mech file\n", options.Format.c_str());
        return false;
    }
    return true;
}
