// Sessions and libcurl's set-up, in an executable with no GlobalInit of its own.
#include <gtest/gtest.h>

#include "platform/urlclient/url_client.h"

namespace {

TEST(GlobalInit, SessionsOpenOnlyWhileItLives) {
    urlclient::SessionOptions options;
    options.agent = "RECV_HTML";
    EXPECT_FALSE(urlclient::OpenSession(options)) << "before";
    {
        const urlclient::GlobalInit curl;
        ASSERT_TRUE(curl.ok());
        EXPECT_TRUE(urlclient::OpenSession(options)) << "while it lives";
    }
    EXPECT_FALSE(urlclient::OpenSession(options)) << "after";
}

}  // namespace
