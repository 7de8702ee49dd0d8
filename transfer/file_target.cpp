#include "transfer/file_target.h"

#include <windows.h>

#include <cstring>

#include "twain/text.h"

char TransferFileName[256] = "";

namespace {

// The default file this source created, "" while there is none.
char DefaultFileName[256] = "";

}  // namespace

const char* DefaultTransferFile()
{
    if (DefaultFileName[0] != '\0') {
        return DefaultFileName;
    }
    char folder[MAX_PATH + 1] = "";
    char name[MAX_PATH + 1] = "";
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length > sizeof folder || GetTempFileNameA(folder, "TWN", 0, name) == 0) {
        return nullptr;
    }
    if (std::strlen(name) >= sizeof DefaultFileName) {
        DeleteFileA(name);
        return nullptr;
    }
    CopyText(DefaultFileName, sizeof DefaultFileName, name);
    return DefaultFileName;
}

bool UseDefaultTransferFile()
{
    const char* name = DefaultTransferFile();
    if (name == nullptr) {
        return false;
    }
    CopyText(TransferFileName, sizeof TransferFileName, name);
    return true;
}

void UseApplicationTransferFile(const char* name)
{
    CopyText(TransferFileName, sizeof TransferFileName, name);
    // The application's name is the application's file, even when it names
    // our default one.
    if (lstrcmpiA(TransferFileName, DefaultFileName) == 0) {
        DefaultFileName[0] = '\0';
    }
}

void ForgetTransferFiles()
{
    // An application may still read a file that holds an image; an empty one
    // is only litter in the temporary folder.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (DefaultFileName[0] != '\0' && GetFileAttributesExA(DefaultFileName, GetFileExInfoStandard, &data) &&
        data.nFileSizeHigh == 0 && data.nFileSizeLow == 0) {
        DeleteFileA(DefaultFileName);
    }
    DefaultFileName[0] = '\0';
    TransferFileName[0] = '\0';
}
