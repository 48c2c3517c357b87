#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One running program per user: the first start listens on a local socket named "Brellin 1.1" in
// $XDG_RUNTIME_DIR; a later start connects, says "show" or hands over a URL, and exits.
class VornSingleInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VornSingleInstance)

public:
    // A message longer than this is cut off; nothing a second start sends comes near it.
    static constexpr qint64 kMaxMessage = 16384;

    explicit VornSingleInstance(QObject* parent = nullptr);
    ~VornSingleInstance() override;

    // The socket path: $XDG_RUNTIME_DIR (else the temporary folder) + "/Brellin 1.1".
    static QString SocketPath();
    // Tells a running instance to come to the front (and open the URL when not empty); false when
    // none answers.
    static bool NotifyRunning(const QString& url);
    // Becomes the running instance, removing a socket left behind by one that died; false when another
    // instance is listening or the socket cannot be made.
    bool Listen();

signals:
    void ShowRequested();
    void UrlReceived(const QString& url);

private:
    void Accept();

    QLocalServer* m_server;
};
