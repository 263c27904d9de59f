#include "window/fetch_text.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <cstdint>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "download/module1.h"
#include "window/report_and_end.h"
#include "window/text/convert_body.h"

namespace {

bool IsUserInput(QEvent::Type typ) {
    switch (typ) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::InputMethod:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
        case QEvent::TabletPress:
        case QEvent::TabletMove:
        case QEvent::TabletRelease:
        case QEvent::NativeGesture:
        case QEvent::Gesture:
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            return true;
        default:
            return false;
    }
}

// While it lives, the program takes no keyboard, mouse or touch input and shows a busy cursor.
// Painting, timers and the desktop's own requests still get through, so the window stays alive and
// can still be closed. Input that arrives meanwhile is dropped, not kept for later: a click on Go
// made during a fetch must not start another one once the first ends.
class InputBlock : public QObject {
public:
    InputBlock() {
        QCoreApplication::instance()->installEventFilter(this);
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    }
    ~InputBlock() override {
        QGuiApplication::restoreOverrideCursor();
        QCoreApplication::instance()->removeEventFilter(this);
    }
    InputBlock(const InputBlock&) = delete;
    InputBlock& operator=(const InputBlock&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (IsUserInput(event->type())) return true;
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

FetchResult FetchText(const QString& strUrl) {
    std::optional<QString> strText;
    std::exception_ptr errWorker;
    {
        QEventLoop loop;
        InputBlock block;
        std::thread thdWorker([&strUrl, &strText, &errWorker, &loop] {
            try {
                std::vector<std::uint8_t> bytBody;
                const std::int32_t lngCount = Module1::DownloadBytes(strUrl, bytBody, QString());
                if (lngCount > 0) strText = ConvertBody(bytBody);
            } catch (...) {
                // Carried back as a value: an exception must not cross the thread, nor Qt's
                // event dispatch on the way to the handler.
                errWorker = std::current_exception();
            }
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        loop.exec();
        // The loop also ends early when the program is asked to quit; the worker is waited for
        // either way, since it writes into this frame.
        thdWorker.join();
    }

    if (errWorker)
        return {FetchResult::Kind::kUnexpectedError, QString(), DescribeError(errWorker)};
    if (!strText) return {FetchResult::Kind::kNothing, QString(), QString()};
    return {FetchResult::Kind::kText, std::move(*strText), QString()};
}
