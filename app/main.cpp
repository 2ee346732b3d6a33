#include "controller/qtftp.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QUrl>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    // These three key the per-user settings store; they never change.
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.com"));
    QCoreApplication::setApplicationName(QStringLiteral("SwTxUpdater"));

    qmlRegisterType<QTftp>("com.orvane.SwTxDownloader", 1, 0, "QTftp");

    QQmlApplicationEngine engine;
    QIcon::setThemeName(QStringLiteral("Win10"));
    engine.load(QUrl(QStringLiteral("qrc:/main.qml"), QUrl::TolerantMode));
    if (engine.rootObjects().isEmpty())
        return -1;

    return QGuiApplication::exec();
}
