#include <malloc.h>
#include <QApplication>

#include "platform/urlclient/url_client.h"
#include "window/form1.h"

namespace {

constexpr int kBigBlock = 256 * 1024;

}  // namespace

int main(int argc, char* argv[]) {
    // A page's texts run to tens of megabytes and are replaced at every fetch and flip. Left to
    // itself, glibc raises its threshold for taking such blocks straight from the system once one
    // has been freed, and the later ones then stay in the heap after they are freed too, so the
    // program's memory grew with each flip. A fixed threshold gives every big text back when it
    // goes.
    mallopt(M_MMAP_THRESHOLD, kBigBlock);
    // libcurl is set up before the window, and so before any download thread, exists.
    urlclient::GlobalInit curl;
    QApplication app(argc, argv);
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.recvhtml.RecvHtml"));
    Form1 form;
    form.show();
    return app.exec();
}
