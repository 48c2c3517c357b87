#pragma once

#include <QString>

// Opening files and folders the desktop's way (in place of the shell's "Open" verb).
class VornShell {
public:
    // Opens the file with the desktop's program for it.
    static bool OpenFile(const QString& path);
    // Shows the folder holding the file with the file selected (the freedesktop FileManager1 call),
    // else just opens the folder.
    static bool OpenFolderSelecting(const QString& path);
};
