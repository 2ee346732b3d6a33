#include "controller/identity.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QUrl>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    Identity::apply(QString::fromLatin1(Identity::windowName));

    QQmlApplicationEngine engine;
    QIcon::setThemeName(QStringLiteral("Win10"));
    engine.load(QUrl(QStringLiteral("qrc:/main.qml"), QUrl::TolerantMode));
    if (engine.rootObjects().isEmpty())
        return -1;

    return QGuiApplication::exec();
}
