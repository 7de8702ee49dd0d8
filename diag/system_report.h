// What the debug log records of the machine when the board starts: file
// versions and the system block. Both only write to the log.
#pragma once

// One line with the product version of a library file, by bare name (found
// as a library to load would be) or full path.
void LogFileVersion(const char* name);

// Screen, operating system, memory and the board's free grab memory.
void LogSystemInfo();
