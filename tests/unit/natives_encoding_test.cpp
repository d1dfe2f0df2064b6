// to-hex, enbase and debase in every base, and URL escapes.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/kel_cases.h"

using kel_test::eval;
using kel_test::expect_cases;

TEST(NativesEncoding, ToHex) {
    expect_cases({
        {"to-hex 255", "#000000FF"},
        {"to-hex -1", "#FFFFFFFF"},
        {"to-hex/size 255 2", "#FF"},
        {"to-hex/size 255 10", "#000000FF"},
        {"to-hex/size 4660 3", "#234"},
        {"to-hex/size 255 0", "!script/invalid-arg"},
        {"to-hex/size 255 -1", "!script/invalid-arg"},
    });
}

TEST(NativesEncoding, BaseEncodings) {
    expect_cases({
        {"enbase \"\"", "\"\""},
        {"enbase \"Man\"", "\"TWFu\""},
        {"enbase #{FF}", "\"/w==\""},
        {"enbase \"ab\"", "\"YWI=\""},
        {"enbase/base #{0000} 58", "\"11\""},
        {"enbase/base \"hello world\" 58", "\"StV1DL6CwTryKyV\""},
        {"enbase/base #{00A5} 16", "\"00A5\""},
        {"enbase/base #{A5} 2", "\"10100101\""},
        {"enbase/base \"é\" 16", "\"C3A9\""},
        {"enbase/base \"a\" 3", "!script/invalid-arg"},
        {"debase \"TWFu\"", "#{4D616E}"},
        {"debase \"YWI=\"", "#{6162}"},
        {"debase \"YQ==\"", "#{61}"},
        {"debase \"YW I=\"", "#{6162}"},
        {"debase \"YWI\"", "#{6162}"},
        {"debase \"Y\"", "none"},
        {"debase \"YW-=\"", "none"},
        {"debase \"TWFu=\"", "none"},
        {"debase/base \"ABC\" 16", "#{AB}"},
        {"debase/base \"A;comment^/B\" 16", "#{AB}"},
        {"debase/base \"ab cd\" 16", "#{ABCD}"},
        {"debase/base \"AG\" 16", "none"},
        {"debase/base \"\" 16", "#{}"},
        {"debase/base \"10100101\" 2", "#{A5}"},
        {"debase/base \"1010\" 2", "none"},
        {"debase/base \"102\" 2", "none"},
        {"debase/base \"11\" 58", "#{0000}"},
        {"debase/base \"StV1DL6CwTryKyV\" 58", "#{68656C6C6F20776F726C64}"},
        {"debase/base \"0\" 58", "none"},
        {"debase/base \"x\" 10", "!script/invalid-arg"},
        {"debase next \"xTWFu\"", "#{4D616E}"},
    });
}

// Random bytes come back unchanged through every base.
TEST(NativesEncoding, RoundTrips) {
    std::mt19937 rng(20261209);
    for (int base : {2, 16, 58, 64}) {
        for (int n : {0, 1, 2, 3, 4, 5, 31, 32, 33, 100}) {
            std::string hex;
            for (int i = 0; i < n; i++) {
                char b[3];
                snprintf(b, sizeof b, "%02X", static_cast<unsigned>(rng() & 0xFF));
                // Leading zero bytes matter to base 58.
                if (i == 0 && n > 3) snprintf(b, sizeof b, "00");
                hex += b;
            }
            std::string b = std::to_string(base);
            std::string code = "b: #{" + hex + "} equal? b debase/base enbase/base b " + b + " " + b;
            EXPECT_EQ(eval(code), "true") << code;
        }
    }
}

TEST(NativesEncoding, UrlEscapes) {
    expect_cases({
        {"dehex \"a%20b\"", "\"a b\""},
        {"dehex \"%E2%82%AC\"", "\"€\""},
        {"dehex \"%zz%4\"", "\"%zz%4\""},
        {"dehex %a%2Fb", "\"a/b\""},
        {"enhex \"a b/c\"", "\"a%20b%2Fc\""},
        {"enhex \"é\"", "\"%C3%A9\""},
        {"enhex %a/b", "\"a/b\""},
        {"enhex \"-._~\"", "\"-._~\""},
    });
}

TEST(NativesEncoding, CompressAndDecompress) {
    expect_cases({
        {"compress \"\" 'zlib", "#{7801030000000001}"},
        {"compress \"\" 'deflate", "#{0300}"},
        {"compress #{} 'GZIP", "#{1F8B08000000000004040300" "0000000000000000}"},
        {"decompress compress \"abcabcabcabc\" 'zlib 'zlib", "#{616263616263616263616263}"},
        {"decompress skip compress \"h\u00e9\" 'deflate 0 'deflate", "#{68C3A9}"},
        {"decompress/size compress \"abc\" 'gzip 'gzip 1", "#{616263}"},
        {"decompress/size compress \"abc\" 'deflate 'deflate 100", "#{616263}"},
        {"decompress/size compress \"abc\" 'zlib 'zlib 2000000000", "#{616263}"},
        {"decompress #{7801030000000001} 'zlib", "#{}"},
        {"decompress #{78DA} 'zlib", "!script/invalid-data"},
        {"decompress #{0700} 'deflate", "!script/invalid-data"},
        {"decompress #{1F8B} 'gzip", "!script/invalid-data"},
        {"compress \"x\" 'lzma", "!script/invalid-arg"},
        {"decompress #{00} 'lzma", "!script/invalid-arg"},
        {"decompress/size #{0300} 'deflate -1", "!script/invalid-arg"},
    });
}
