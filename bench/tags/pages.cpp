#include "bench/tags/pages.h"

#include <array>
#include <random>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 24> kWords = {
    "東京",     "大阪",     "天気", "予報", "政府",         "発表", "経済",         "市場",
    "株価",     "上昇",     "記者", "会見", "地震",         "情報", "交通",         "列車",
    "ニュース", "スポーツ", "選手", "試合", "コンピュータ", "開発", "ソフトウェア", "企業",
};
constexpr std::array<std::string_view, 8> kParticles = {"は", "が", "を", "に",
                                                        "の", "で", "と", "も"};

class PageWriter {
public:
    explicit PageWriter(std::string& out) : out_(out) {}

    void Sentence() {
        const int words = 3 + static_cast<int>(random_() % 6);
        for (int i = 0; i < words; ++i) {
            out_ += kWords[random_() % kWords.size()];
            out_ += kParticles[random_() % kParticles.size()];
        }
        out_ += (random_() % 3 == 0) ? "、" : "。";
    }

    void Paragraph(int id) {
        out_ += "<p class=\"body-text\" id=\"p" + std::to_string(id) + "\">";
        for (int s = 0; s < 4; ++s) {
            Sentence();
            switch (random_() % 8) {
                case 0:
                    out_ += "<br>\r\n";
                    break;
                case 1:
                    out_ += "<BR />\r\n";
                    break;
                case 2:
                    out_ += "<br clear=\"all\">";
                    break;
                case 3:
                    out_ += "<strong>";
                    Sentence();
                    out_ += "</strong>";
                    break;
                case 4:
                    out_ += "&quot;";
                    Sentence();
                    out_ += "&quot;&nbsp;";
                    break;
                case 5:
                    out_ += "<a href=\"https://news.example.jp/articles/" + std::to_string(id) +
                            "?ref=top&amp;page=2\" target=\"_blank\">";
                    Sentence();
                    out_ += "</a>";
                    break;
                case 6:
                    out_ += "価格&gt;１００円&amp;送料無料&lt;";
                    break;
                default:
                    out_ += "<span style=\"color:#c00\">速報</span>";
                    break;
            }
        }
        out_ += "</p>\r\n";
    }

    void Article(int id) {
        const std::string n = std::to_string(id);
        out_ += "<!-- 記事 " + n + " ここから -->\r\n";
        out_ += "<div class=\"article\" id=\"a" + n + "\" data-category=\"news\">\r\n";
        out_ += "<h2 class=\"title\"><a href=\"/articles/" + n + ".html\">";
        Sentence();
        out_ += "</a></h2>\r\n";
        out_ += "<div class=\"meta\"><span class=\"date\">2024年6月" + std::to_string(1 + id % 28) +
                "日</span> <span class=\"author\">記者</span></div>\r\n";
        for (int p = 0; p < 3; ++p) Paragraph(id * 10 + p);
        if (id % 3 == 0) {
            out_ +=
                "<script type=\"text/javascript\">\r\n"
                "  var slot = document.getElementById(\"ad" +
                n +
                "\");\r\n"
                "  if (slot && window.innerWidth < 800 && n > 0) {\r\n"
                "    slot.innerHTML = \"<div class='ad'><img src='/ad.png'></div>\";\r\n"
                "  }\r\n"
                "</script>\r\n";
        }
        if (id % 5 == 0) {
            out_ += "<style>\r\n  #a" + n + " .title { font-size: 120%; }\r\n  #a" + n +
                    " p > a { color: #06c; }\r\n</style>\r\n";
        }
        out_ += "<ul class=\"tags\">";
        for (int t = 0; t < 4; ++t) {
            out_ += "<li><a href=\"/tag/" + std::to_string(random_() % 100) + "\">";
            out_ += kWords[random_() % kWords.size()];
            out_ += "</a></li>";
        }
        out_ += "</ul>\r\n<table class=\"data\"><tr><th>項目</th><th>値</th></tr>";
        for (int r = 0; r < 3; ++r) {
            out_ += "<tr><td>" + std::string(kWords[random_() % kWords.size()]) + "</td><td>" +
                    std::to_string(random_() % 10000) + "</td></tr>";
        }
        out_ += "</table>\r\n<img src=\"/img/" + n + ".jpg\" alt=\"写真\" width=\"320\">\r\n";
        out_ += "</div>\r\n<!-- 記事 " + n + " ここまで -->\r\n";
    }

private:
    std::string& out_;
    std::mt19937 random_{12345};
};

}  // namespace

std::string MakeRealisticPage(std::size_t size, std::size_t dataScriptSize) {
    std::string page;
    page.reserve(size + 4096);
    page +=
        "<!DOCTYPE html>\r\n<html lang=\"ja\">\r\n<head>\r\n<meta charset=\"UTF-8\">\r\n"
        "<title>ニュース &amp; 天気 | 毎日の情報</title>\r\n"
        "<STYLE type=\"text/css\">\r\n"
        "body { font-family: \"Hiragino Sans\", sans-serif; margin: 0; }\r\n"
        ".article > .title { border-bottom: 1px solid #ccc; }\r\n"
        "</STYLE>\r\n"
        "<script src=\"/js/jquery.min.js\"></script>\r\n";
    if (dataScriptSize > 0) {
        page += "<script id=\"initial-data\" type=\"application/json\">{\"items\":[";
        for (int i = 0; page.size() < dataScriptSize; ++i) {
            page += "{\"id\":" + std::to_string(i) + ",\"title\":\"東京の天気\",\"url\":\"/a/" +
                    std::to_string(i) + "\"},";
        }
        page += "{}]}</script>\r\n";
    }
    page += "</head>\r\n<body>\r\n<div id=\"header\"><h1>毎日の情報</h1></div>\r\n";
    PageWriter writer(page);
    for (int id = 0; page.size() < size; ++id) writer.Article(id);
    page += "</body>\r\n</html>\r\n";
    return page;
}

std::string MakeHostilePage(HostileKind kind, std::size_t size) {
    std::string_view unit;
    switch (kind) {
        case HostileKind::kUnclosedScripts:
            unit = "<script ";
            break;
        case HostileKind::kLessThanRun:
            unit = "<";
            break;
        case HostileKind::kUnclosedComments:
            unit = "<!-- ";
            break;
        case HostileKind::kUnclosedTagLines:
            unit = "<a <br>";
            break;
    }
    std::string page;
    page.reserve(size + unit.size());
    while (page.size() < size) page += unit;
    page.resize(size);
    return page;
}

const char* HostileName(HostileKind kind) {
    switch (kind) {
        case HostileKind::kUnclosedScripts:
            return "unclosed_scripts";
        case HostileKind::kLessThanRun:
            return "less_than_run";
        case HostileKind::kUnclosedComments:
            return "unclosed_comments";
        case HostileKind::kUnclosedTagLines:
            return "unclosed_tag_lines";
    }
    return "";
}
