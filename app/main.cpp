#include <QApplication>

#include "download/module1.h"
#include "platform/urlclient/url_client.h"
#include "window/big_blocks.h"
#include "window/form1.h"

int main(int argc, char* argv[]) {
    ReturnBigBlocksToTheSystem();
    // libcurl is set up before the window, and so before any download thread, exists. Should that
    // fail, the window still opens and every fetch brings nothing.
    const urlclient::GlobalInit curl;
    // What reads the desktop's proxy settings starts while the window is made and the user types
    // the first URL, rather than in the first fetch.
    Module1::PrepareProxySettings();
    QApplication app(argc, argv);
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.recvhtml.RecvHtml"));
    Form1 form;
    form.show();
    return app.exec();
}
