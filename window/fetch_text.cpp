#include "window/fetch_text.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <cstdint>
#include <exception>
#include <new>
#include <thread>
#include <vector>

#include "download/module1.h"
#include "window/report_and_end.h"
#include "window/text/convert_body.h"
#include "window/text/converted_length.h"

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
// made during a fetch must not start another one once the first ends. A press of Esc is dropped
// too, after it has stopped the fetch through `sigStop`.
class InputBlock : public QObject {
public:
    explicit InputBlock(urlclient::StopSignal& sigStop) : sigStop(sigStop) {
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
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            sigStop.Stop();
        }
        if (IsUserInput(event->type())) return true;
        return QObject::eventFilter(watched, event);
    }

private:
    urlclient::StopSignal& sigStop;
};

}  // namespace

FetchResult FetchText(const QString& strUrl, const urlclient::Limits& udtLimits) {
    using Kind = urlclient::Failure::Kind;
    FetchResult result;
    std::exception_ptr errWorker;
    urlclient::StopSignal sigStop;
    {
        QEventLoop loop;
        InputBlock block(sigStop);
        std::thread thdWorker([&] {
            try {
                std::vector<std::uint8_t> bytBody;
                const std::int32_t lngCount = Module1::DownloadBytes(
                    strUrl, bytBody, QString(), udtLimits, &sigStop, result.udtFailure);
                if (lngCount > 0) {
                    // The text ends where the converter's input does: at a zero byte, if the
                    // page has one where its encoding does not allow it.
                    const std::size_t lngShown = ConvertedLength(bytBody);
                    if (lngShown < bytBody.size()) {
                        result.udtFailure = {};
                        result.udtFailure.kind = Kind::kZeroByte;
                        result.udtFailure.partial_bytes = lngShown;
                    }
                    // Only the conversion's want of memory is a reason to show: the program goes
                    // on, and the page's memory is given back as the worker ends.
                    try {
                        result.strText = ConvertBody(bytBody);
                    } catch (const std::bad_alloc&) {
                        result.udtFailure = {};
                        result.udtFailure.kind = Kind::kNoMemoryToConvert;
                    }
                }
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
    if (errWorker) {
        result = FetchResult{};
        result.blnUnexpectedError = true;
        result.strError = DescribeError(errWorker);
    }
    return result;
}
