// Device addresses and the virtual stack's hosts file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/platform.h"
#include "tests/test_util.h"

TEST(Address, TextFormParsing) {
    struct c {
        const char *text;
        bool ok;
    };
    const c cases[] = {{"00:11:22:33:44:55", true}, {"aA:bB:cC:dD:eE:fF", true}, {"00:11:22:33:44", false},
                       {"00:11:22:33:44:55:66", false}, {"00-11-22-33-44-55", false}, {"0:11:22:33:44:55", false},
                       {"00:11:22:33:44:5g", false}, {"", false}, {"00:11:22:33:44:55 ", false}};
    for (const auto &x : cases) {
        bdaddr_t a{};
        EXPECT_EQ(bt_aton(x.text, &a) != 0, x.ok) << x.text;
    }
    bdaddr_t a{};
    ASSERT_TRUE(bt_aton("00:11:22:33:44:55", &a));
    const uint8_t reversed[6] = {0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
    EXPECT_EQ(std::memcmp(a.b, reversed, 6), 0);
    char buf[18];
    EXPECT_STREQ(bt_ntoa(&a, buf), "00:11:22:33:44:55");
}

TEST(Address, HostsFileLookups) {
    blmx::test::temp_dir dir;
    setenv("BLMX_VBT_DIR", dir.path.c_str(), 1);
    std::ofstream(dir.file("hosts")) << "# comment line\n"
                                        "\n"
                                        "not-an-address broken\n"
                                        "aa:bb:cc:dd:ee:01 speaker spk # trailing comment\n"
                                        "aa:bb:cc:dd:ee:02 headset\n";
    const hostent *h = bt_gethostbyname("spk");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->h_length, 6);
    EXPECT_EQ(static_cast<uint8_t>(h->h_addr_list[0][0]), 0x01);
    EXPECT_EQ(static_cast<uint8_t>(h->h_addr_list[0][5]), 0xaa);
    h = bt_gethostbyname("HEADSET");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(static_cast<uint8_t>(h->h_addr_list[0][0]), 0x02);
    EXPECT_EQ(bt_gethostbyname("broken"), nullptr);
    EXPECT_EQ(bt_gethostbyname("comment"), nullptr);
    EXPECT_EQ(bt_gethostbyname("nobody"), nullptr);

    // A directory others can reach is not trusted.
    chmod(dir.path.c_str(), 0755);
    EXPECT_EQ(bt_gethostbyname("speaker"), nullptr);
    chmod(dir.path.c_str(), 0700);
    // Nor a symbolic link to one.
    const std::string link = dir.path + "-link";
    ASSERT_EQ(symlink(dir.path.c_str(), link.c_str()), 0);
    setenv("BLMX_VBT_DIR", link.c_str(), 1);
    EXPECT_EQ(bt_gethostbyname("speaker"), nullptr);
    unlink(link.c_str());
    unsetenv("BLMX_VBT_DIR");
}
