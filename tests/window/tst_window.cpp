#include "qtftp.h"

#include <QCoreApplication>
#include <QFile>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtQuickTest>

// What the window tests need beyond the window itself: a clean settings
// store, a folder holding one firmware image, and the controller's debug
// lines, where alone it reports the file lists it builds. The test program
// sets it up and hands it to the tests as "fixture".
class Fixture : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl firmwareFolder READ firmwareFolder CONSTANT)

public:
    QUrl firmwareFolder() const { return QUrl::fromLocalFile(m_folder.path()); }

    // Clears the settings store and starts a fresh record of debug lines.
    Q_INVOKABLE void reset()
    {
        QSettings().clear();
        s_debugLines.clear();
        // The test log installs its own handler when the first test starts.
        if (const QtMessageHandler previous = qInstallMessageHandler(record); previous != record)
            s_testLog = previous;
    }

    Q_INVOKABLE QStringList takeDebugLines() { return std::exchange(s_debugLines, {}); }

public slots:
    void applicationAvailable()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
        QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
        QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));
        qmlRegisterType<QTftp>("com.orvane.SwTxDownloader", 1, 0, "QTftp");
        QFile image(m_folder.filePath(QStringLiteral("7420BT-v1.0.bin")));
        if (!image.open(QIODevice::WriteOnly) || image.write("image") != 5)
            qFatal("cannot write the firmware image");
    }

    void qmlEngineAvailable(QQmlEngine *engine)
    {
        engine->rootContext()->setContextProperty(QStringLiteral("fixture"), this);
    }

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (type == QtDebugMsg)
            s_debugLines.append(message);
        s_testLog(type, context, message);
    }

    static inline QStringList s_debugLines;
    static inline QtMessageHandler s_testLog = nullptr;
    QTemporaryDir m_folder;
};

QUICK_TEST_MAIN_WITH_SETUP(window, Fixture)

#include "tst_window.moc"
