// ds_twin32.exe: the 32-bit half of the twin test. Runs every sequence of
// twin_script.cpp through the Twain_32.ds named on its command line, called
// directly, and writes the transcripts to the file named after it, each
// behind a line "=== <sequence>".
#include <cstdio>
#include <string>

#include "acquire/box_watcher.h"
#include "tests/ds64/twin_script.h"
#include "tests/rig/ds_rig.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: ds_twin32 TWAIN_32_DS TRANSCRIPT\n");
        return 2;
    }
    const std::string source = argv[1];
    const std::string logPath = source.substr(0, source.find_last_of('\\')) + "\\TALVENIX.LOG";
    BoxWatcher boxes;
    DsModule ds(source);
    if (!ds.Loaded()) {
        std::fprintf(stderr, "cannot load %s\n", source.c_str());
        return 1;
    }
    std::string transcripts;
    for (int i = 0; i < TwinSequenceCount(); ++i) {
        SetDumpMode(TwinSequenceTraced(i) ? 42 : 0);
        ds.Reload();
        transcripts += std::string("=== ") + TwinSequenceName(i) + "\n" + RunTwinSequence(ds, i, logPath);
    }
    FILE* file = std::fopen(argv[2], "wb");
    if (file == nullptr) {
        return 1;
    }
    std::fwrite(transcripts.data(), 1, transcripts.size(), file);
    std::fclose(file);
    return 0;
}
