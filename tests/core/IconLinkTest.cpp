#include "icons/IconLink.h"

#include <gtest/gtest.h>

using KestruneCore::iconLink;

TEST(IconLink, FirstLinkTagNamingAnIconWithAQuotedHref) {
    const std::string base = "http://127.0.0.1:5173/app/page?x=1";
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {R"(<head><link rel="shortcut icon" href="/static/fav.png"></head>)",
         "http://127.0.0.1:5173/static/fav.png"},
        {R"(<link rel="stylesheet" href="/a.css"><link rel='icon' href='b.ico'>)",
         "http://127.0.0.1:5173/app/b.ico"},
        {R"(<link rel="icon"><link rel="apple-touch-icon" href="t.png">)",
         "http://127.0.0.1:5173/app/t.png"},
        {R"(<LINK HREF = 'https://cdn.test/i.svg' REL = "Icon" type="image/svg+xml"/>)",
         "https://cdn.test/i.svg"},
        {"<link\n  rel=\"icon\"\n  href=\"../up.png\"\n>", "http://127.0.0.1:5173/up.png"},
        {R"(<link data-rel="icon" href="d.png">)", "http://127.0.0.1:5173/app/d.png"},
        {R"(<link rel="iconic" href="a.png"><link rel="favicon" href="b.png">)", std::nullopt},
        {R"(<linkage rel="icon" href="a.png"><link rel=icon href=b.png>)", std::nullopt},
        {R"(<link rel="icon" href=""><link rel="icon" href="second.png">)",
         "http://127.0.0.1:5173/app/second.png"},
        {R"(<link rel="icon" href="has space.png">)", "http://127.0.0.1:5173/app/has%20space.png"},
        {R"(<link rel="icon" href="http://[::1"><link rel="icon" href="never.png">)", std::nullopt},
        {R"(<meta name="x"><p>no links</p>)", std::nullopt},
        {R"(<link rel="icon" href="never-closed.png")", std::nullopt},
    };
    for (const auto& [html, expected] : cases)
        EXPECT_EQ(iconLink(html, base), expected) << html;
}

TEST(IconLink, LongHostileAttributesDoNotExhaustTheStack) {
    const std::string run(2'000'000, 'a');
    EXPECT_EQ(iconLink("<link rel=\"icon " + run + "\" href='/x.png'", "http://h/"), std::nullopt);
    auto found = iconLink("<link " + run + " rel='icon' href='/" + run + "'>", "http://h/");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), run.size() + 9);
}
