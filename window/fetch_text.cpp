#include "window/fetch_text.h"

#include <QCoreApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QUrl>
#include <atomic>
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

// Shows where a fetch stands, from the numbers its worker stores: nothing for the first moment, so
// that a fast page shows no flicker, then at most ten times a second, on this thread.
class ProgressWatch {
public:
    ProgressWatch(const QString& strUrl, const Module1::DownloadProgress& udtDownload,
                  const std::atomic<bool>& blnConverting,
                  const std::function<void(const FetchProgress&)>& fnShow)
        : udtDownload(udtDownload), blnConverting(blnConverting), fnShow(fnShow) {
        if (!fnShow) return;
        const QUrl url(strUrl);
        udtShown.strHost = url.host().isEmpty() ? strUrl : url.host();
        clkStarted.start();
        QObject::connect(&tmrTick, &QTimer::timeout, [this] { Tick(); });
        tmrTick.start(kTickMs);
    }

private:
    static constexpr int kTickMs = 100;
    static constexpr qint64 kQuietMs = 330;

    void Tick() {
        const qint64 lngNow = clkStarted.elapsed();
        if (lngNow < kQuietMs) return;
        // Read first: once the head has come, its declared length is there to read too.
        const urlclient::TransferProgress& udtTransfer = udtDownload.transfer;
        const bool blnAnswered = udtTransfer.answered.load(std::memory_order_acquire);
        const std::uint64_t lngReceived = udtTransfer.received.load(std::memory_order_relaxed);
        udtShown.lngReceived = lngReceived;
        udtShown.lngExpected = udtTransfer.expected.load(std::memory_order_relaxed);
        // Whom the request waits for is the download's own account: the proxy it is trying now,
        // and where that came from.
        udtShown.strProxy = QString::fromStdString(udtTransfer.Proxy());
        udtShown.udtOrigin = udtDownload.Origin();
        if (blnConverting.load(std::memory_order_relaxed)) {
            udtShown.phase = FetchProgress::Phase::kConverting;
        } else if (blnAnswered || lngReceived > 0) {
            udtShown.phase = FetchProgress::Phase::kReceiving;
        } else if (udtDownload.choosing_proxy.load(std::memory_order_relaxed)) {
            udtShown.phase = FetchProgress::Phase::kFindingProxy;
        } else {
            udtShown.phase = FetchProgress::Phase::kConnecting;
        }
        udtRate.Add(lngNow, lngReceived);
        const double dblRate = udtRate.BytesPerSecond();
        if (udtShown.phase == FetchProgress::Phase::kReceiving && dblRate >= 0.0)
            udtShown.dblBytesPerSecond = dblRate;
        fnShow(udtShown);
    }

    const Module1::DownloadProgress& udtDownload;
    const std::atomic<bool>& blnConverting;
    const std::function<void(const FetchProgress&)>& fnShow;
    FetchProgress udtShown;
    QElapsedTimer clkStarted;
    QTimer tmrTick;
    RecentRate udtRate;
};

}  // namespace

FetchResult FetchText(const QString& strUrl, const urlclient::Limits& udtLimits,
                      const std::function<void(const FetchProgress&)>& fnShowProgress) {
    using Kind = FetchFailure::Kind;
    FetchResult result;
    std::exception_ptr errWorker;
    urlclient::StopSignal sigStop;
    // The worker only stores here; this thread reads it on a timer.
    Module1::DownloadProgress udtProgress;
    std::atomic<bool> blnConverting{false};
    {
        QEventLoop loop;
        InputBlock block(sigStop);
        ProgressWatch watch(strUrl, udtProgress, blnConverting, fnShowProgress);
        std::thread thdWorker([&] {
            try {
                std::vector<std::uint8_t> bytBody;
                const std::int32_t lngCount =
                    Module1::DownloadBytes(strUrl, bytBody, QString(), udtLimits, &sigStop,
                                           result.udtFailure.udtDownload, &udtProgress);
                if (lngCount > 0) {
                    blnConverting.store(true, std::memory_order_relaxed);
                    // The text ends where the converter's input does: at a zero byte, if the
                    // page has one where its encoding does not allow it. Whatever the download
                    // said of the page stays beside it.
                    const std::size_t lngShown = ConvertedLength(bytBody);
                    if (lngShown < bytBody.size()) {
                        result.udtFailure.kind = Kind::kZeroByte;
                        result.udtFailure.lngShownBytes = lngShown;
                    }
                    // Only the conversion's want of memory is a reason to show: the program goes
                    // on, and the page's memory is given back as the worker ends.
                    try {
                        result.strText = ConvertBody(bytBody);
                    } catch (const std::bad_alloc&) {
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
