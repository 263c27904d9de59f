#pragma once

#include <QString>

#include "window/fetch_text.h"

// Why a fetch brought nothing, or only part of the page, in words for the user of this window.
// For a page that came whole it gives an empty text. For nothing, two or three lines: what
// happened, naming the server or the proxy, then what can be done about it (where the proxy came
// from) or what libcurl said; they go in the empty result box. For a page that came in part, one
// line that says the page is incomplete and why; it goes under the character count.
// `strTyped` is the URL as the user typed it: a URL that cannot be used is named so, since that is
// what the user sees and mends; empty, none is named.
QString DescribeFailure(const FetchFailure& udtFailure, const QString& strTyped = QString());

// Where a proxy came from, in a few words for a reason or a progress line: "環境変数 http_proxy",
// "デスクトップのプロキシの設定", "プロキシ自動設定ファイル「URL」", ...; empty for none.
QString DescribeOrigin(const Module1::ProxyOrigin& udtOrigin);
