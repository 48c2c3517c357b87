#pragma once

#include <QIcon>

// The program's own pictures, drawn rather than shipped as files.
class VornIcons {
public:
    // A blue disc with a white arrow pointing down.
    static QIcon Program();
};
