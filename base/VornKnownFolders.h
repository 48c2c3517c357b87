#pragma once

#include <filesystem>

// The per-user folders the program keeps its files in, after the XDG base-directory rules.
// Every call reads the environment afresh, so a changed HOME or XDG variable takes effect at once.
class VornKnownFolders {
public:
    // $HOME, else the password database's home folder; empty when neither is known.
    static std::filesystem::path home();
    // $XDG_CONFIG_HOME when it is absolute, else ~/.config.
    static std::filesystem::path configHome();
    // $XDG_DATA_HOME when it is absolute, else ~/.local/share.
    static std::filesystem::path dataHome();

    // The program's data folder, "<data home>/Ostrel/" with its trailing separator, created when missing
    // and readable by its owner only. "/" when no home is known or the folder cannot be created.
    static std::filesystem::path dataFolder();
    // The folder of the settings file, "<config home>/Ostrel/" (created by the first write, not here).
    static std::filesystem::path settingsFolder();
    // XDG_DOWNLOAD_DIR from the user-dirs file, else ~/Downloads; created when missing, with a trailing
    // separator. "/" when no home is known.
    static std::filesystem::path downloadsFolder();

    // The value of XDG_DOWNLOAD_DIR in the text of a user-dirs file, resolved against home; empty when
    // the text has no usable entry. The last entry wins, as when the file is sourced by a shell.
    static std::filesystem::path parseDownloadDir(const std::string& userDirsText,
                                                  const std::filesystem::path& home);
};
