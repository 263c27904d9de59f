// The allocator setting that hands a page's texts back to the system when they are replaced, in a
// process of its own: the setting holds for the whole process.
#include "window/big_blocks.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <QString>
#include <cstdint>
#include <vector>

#include "window/text/convert_body.h"
#include "window/text/remove_tags.h"

namespace {

// A page fetched again and again and its box flipped, as a user does: each text the window makes
// replaces another. Every text of a page of 400 KB is a big block, straight from the system and
// back to it the moment it is replaced; left to itself, glibc would keep the second and later ones
// in its heap. (A smaller threshold shows nothing more: a block that fits in the heap's free top
// comes from there whatever the threshold, and the top is kept at up to 128 KiB.)
TEST(BigBlocks, ReplacedTextsGoBackToTheSystem) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer has an allocator of its own";
#endif
    ReturnBigBlocksToTheSystem();
    // Forty kanji and a line-break tag, over and over.
    std::vector<std::uint8_t> bytLine;
    for (int lngAt = 0; lngAt < 40; ++lngAt) bytLine.insert(bytLine.end(), {0x93, 0xFA});
    bytLine.insert(bytLine.end(), {'<', 'b', 'r', '>', '\n'});
    std::vector<std::uint8_t> bytBody;
    while (bytBody.size() < 400 * 1024)
        bytBody.insert(bytBody.end(), bytLine.begin(), bytLine.end());
    QString strHtml;
    QString strShown;
    for (int lngRound = 0; lngRound < 4; ++lngRound) {
        strHtml = ConvertBody(bytBody);
        strShown = RemoveTags(strHtml);
        const std::size_t lngShown = static_cast<std::size_t>(strShown.size()) * sizeof(QChar);
        ASSERT_GT(lngShown, kBigBlock);
        // The system's blocks the heap holds, before and after the flip drops the text shown.
        const std::size_t lngHeld = mallinfo2().hblkhd;
        strShown = strHtml;
        EXPECT_GE(lngHeld - mallinfo2().hblkhd, lngShown) << lngRound;
    }
}

}  // namespace
