#include "window/report_and_end.h"

#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

QString DescribeError(std::exception_ptr err) {
    try {
        std::rethrow_exception(err);
    } catch (const std::exception& exc) {
        return QString::fromLocal8Bit(exc.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

void ReportAndEnd(const QString& strWhat) {
    const QString strReport =
        QStringLiteral("予期しないエラーが起きたため、プログラムを終了します。\n\n") + strWhat;
    std::fprintf(stderr, "recv-html: %s\n", strWhat.toLocal8Bit().constData());
    QMessageBox::critical(nullptr, QStringLiteral("recv-html"), strReport);
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}
