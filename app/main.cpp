#include <malloc.h>
#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "platform/urlclient/url_client.h"
#include "window/form1.h"

namespace {

constexpr int kBigBlock = 256 * 1024;

// Shows what went wrong and ends the program: a handler that failed part-way would leave the
// window in a half state, so it is not trusted to go on.
[[noreturn]] void ReportAndEnd(const QString& strWhat) {
    const QString strReport =
        QStringLiteral("予期しないエラーが起きたため、プログラムを終了します。\n\n") + strWhat;
    std::fprintf(stderr, "recv-html: %s\n", strWhat.toLocal8Bit().constData());
    QMessageBox::critical(nullptr, QStringLiteral("recv-html"), strReport);
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}

// Every event handler runs inside notify(), so an exception escaping one ends here.
class Application : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& err) {
            ReportAndEnd(QString::fromLocal8Bit(err.what()));
        } catch (...) {
            ReportAndEnd(QStringLiteral("unknown error"));
        }
    }
};

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
    Application app(argc, argv);
    // Lets the desktop match the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.recvhtml.RecvHtml"));
    Form1 form;
    form.show();
    return app.exec();
}
