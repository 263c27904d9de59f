#include <QApplication>

#include "platform/urlclient/url_client.h"
#include "window/big_blocks.h"
#include "window/form1.h"

int main(int argc, char* argv[]) {
    ReturnBigBlocksToTheSystem();
    // libcurl is set up before the window, and so before any download thread, exists. Should that
    // fail, the window still opens and every fetch brings nothing.
    const urlclient::GlobalInit curl;
    QApplication app(argc, argv);
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.recvhtml.RecvHtml"));
    Form1 form;
    form.show();
    return app.exec();
}
