// The file the next file transfer writes: the application's own name, or the
// source's default file, an empty "TWN" file in the user's temporary folder
// made once a session and removed at close if no image went into it.
#pragma once

// The current name; "" until a name is set or the default is used.
extern char TransferFileName[256];

// The default file's name, creating the file at the first call of a
// session; nullptr when none can be created.
const char* DefaultTransferFile();

// The default file becomes the transfer file. False when none can be created.
bool UseDefaultTransferFile();

// The application's name becomes the transfer file; when it names the
// default file, that file is the application's from then on.
void UseApplicationTransferFile(const char* name);

// At close: the default file goes if no image went into it; no name is kept.
void ForgetTransferFiles();
