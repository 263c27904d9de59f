#pragma once

#include <cstddef>
#include <string>

// Pages for measuring tag removal, as UTF-8 with CR LF line breaks.

// A Japanese news-style page of at least `size` bytes: dense markup with attributes, inline
// scripts (with comparisons and quoted tags), style sheets, comments, every form of line-break
// tag, entities, and a large inline data script of `dataScriptSize` bytes near the top, as modern
// pages carry. The same size always gives the same page.
std::string MakeRealisticPage(std::size_t size, std::size_t dataScriptSize);

enum class HostileKind {
    kUnclosedScripts,   // "<script " again and again, never closed
    kLessThanRun,       // one long run of '<'
    kUnclosedComments,  // "<!-- " again and again, never closed
    kUnclosedTagLines,  // "<a <br>": a '<' whose '>' lies beyond an inserted line break, each line
};

// `size` bytes of input made to defeat a naive drive of the tag rules.
std::string MakeHostilePage(HostileKind kind, std::size_t size);
const char* HostileName(HostileKind kind);
