// The virtual Bluetooth stack: the seven channel properties the library relies
// on, refusals of every wrong constant, the registry, SDP and the capture.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

#include "backend/backend.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

namespace plat = blmx::plat;

std::vector<uint8_t> address(const char *text, uint16_t psm) {
    bdaddr_t a;
    bt_aton(text, &a);
    std::vector<uint8_t> v(14, 0);
    v[0] = 14;
    v[1] = 36;
    v[2] = static_cast<uint8_t>(psm);
    v[3] = static_cast<uint8_t>(psm >> 8);
    std::memcpy(v.data() + 4, a.b, 6);
    return v;
}

class VirtualStack : public ::testing::Test {
  protected:
    blmx::test::temp_dir dir;
    int device = -1, listener = -1;
    void SetUp() override { setenv("BLMX_VBT_DIR", dir.path.c_str(), 1); }
    void TearDown() override {
        if (listener >= 0) vbt_unlisten(listener);
        if (device >= 0) vbt_device_unregister(device);
        unsetenv("BLMX_VBT_DIR");
    }
    void start_device(uint16_t psm = 0x19, uint16_t imtu = 672) {
        char err[256];
        device = vbt_device_register("00:11:22:33:44:55", "speaker", err, sizeof err);
        ASSERT_GE(device, 0) << err;
        listener = vbt_listen(device, psm, imtu);
        ASSERT_GE(listener, 0);
    }
    // Connects a channel to the device; returns {ours, theirs}.
    std::pair<int, int> connect_pair(uint16_t psm = 0x19) {
        auto theirs = std::async(std::launch::async, [&] { return vbt_accept(listener, nullptr, nullptr); });
        const int s = plat::socket(36, 5, 135);
        const auto a = address("00:11:22:33:44:55", psm);
        EXPECT_EQ(plat::connect(s, a.data(), 14), 0) << std::strerror(errno);
        return {s, theirs.get()};
    }
};

}  // namespace

TEST_F(VirtualStack, PacketBoundariesTruncationAndGatherWrites) {
    start_device();
    auto [a, b] = connect_pair();
    ASSERT_GE(b, 0);
    const char one[] = "first", two[] = "second packet";
    ASSERT_EQ(plat::write(b, one, 5), 5);
    ASSERT_EQ(plat::write(b, two, 13), 13);
    char buf[64];
    EXPECT_EQ(plat::read(a, buf, sizeof buf), 5);  // two packets, two reads
    EXPECT_EQ(plat::read(a, buf, 6), 6);           // exactly the size asked for: it did not fit
    const iovec iov[3] = {{const_cast<char *>(one), 5}, {nullptr, 0}, {nullptr, 0}};
    ASSERT_EQ(plat::writev(a, iov, 3), 5);
    const iovec iov2[3] = {{const_cast<char *>(one), 2}, {const_cast<char *>(two), 3}, {const_cast<char *>(one), 1}};
    ASSERT_EQ(plat::writev(a, iov2, 3), 6);
    EXPECT_EQ(plat::read(b, buf, sizeof buf), 5);
    EXPECT_EQ(plat::read(b, buf, sizeof buf), 6);
    EXPECT_EQ(std::string(buf, 6), "fisecf");
    plat::close(a);
    plat::close(b);
}

TEST_F(VirtualStack, NonBlockingReadsEndOfStreamAndMtus) {
    start_device(0x19, 1000);
    auto [a, b] = connect_pair();
    int on = 1;
    ASSERT_EQ(plat::ioctl(a, plat::fionbio, &on), 0);
    char buf[2000];
    errno = 0;
    EXPECT_EQ(plat::read(a, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
    uint16_t mtu = 0;
    unsigned len = 2;
    ASSERT_EQ(plat::getsockopt(a, plat::sol_l2cap, plat::so_l2cap_omtu, &mtu, &len), 0);
    EXPECT_EQ(mtu, 1000);  // the device's incoming MTU
    ASSERT_EQ(plat::getsockopt(a, plat::sol_l2cap, plat::so_l2cap_imtu, &mtu, &len), 0);
    EXPECT_EQ(mtu, 672);
    EXPECT_EQ(plat::write(a, buf, 1001), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(plat::write(a, buf, 1000), 1000);
    EXPECT_EQ(plat::write(b, buf, 673), -1);  // the device's outgoing MTU is our 672
    plat::close(b);
    EXPECT_EQ(plat::read(a, buf, sizeof buf), 0);
    plat::close(a);
}

TEST_F(VirtualStack, BlockingWritesWaitAndAlarmsInterruptReads) {
    start_device();
    auto [a, b] = connect_pair();
    const int small = 4096;
    ASSERT_EQ(plat::setsockopt(a, plat::sol_socket, plat::so_sndbuf, &small, 4), 0);
    ASSERT_EQ(plat::setsockopt(a, plat::sol_socket, plat::so_sndlowat, &small, 4), 0);
    std::vector<char> pkt(600);
    int on = 1;
    plat::ioctl(a, plat::fionbio, &on);
    int queued = 0;
    while (plat::write(a, pkt.data(), pkt.size()) > 0) ++queued;
    on = 0;
    plat::ioctl(a, plat::fionbio, &on);
    std::thread drain([&, b = b] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        char buf[700];
        for (int i = 0; i < queued; ++i) plat::read(b, buf, sizeof buf);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(plat::write(a, pkt.data(), pkt.size()), 600);  // blocks until there is room
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    drain.join();

    struct sigaction sa{}, old{};
    sa.sa_handler = [](int) {};
    sigaction(SIGALRM, &sa, &old);
    char buf[700];
    EXPECT_EQ(plat::read(b, buf, sizeof buf), 600);  // the packet that waited
    alarm(1);
    errno = 0;
    EXPECT_EQ(plat::read(b, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EINTR);
    sigaction(SIGALRM, &old, nullptr);
    plat::close(a);
    plat::close(b);
}

TEST_F(VirtualStack, WrongConstantsAreRefused) {
    start_device();
    struct sock_case {
        int domain, type, proto, error;
    };
    for (const auto &c : {sock_case{2, 5, 135, EAFNOSUPPORT}, sock_case{36, 1, 135, EPROTOTYPE},
                          sock_case{36, 5, 6, EPROTONOSUPPORT}}) {
        errno = 0;
        EXPECT_EQ(plat::socket(c.domain, c.type, c.proto), -1);
        EXPECT_EQ(errno, c.error);
    }
    const int s = plat::socket(36, 5, 135);
    ASSERT_GE(s, 0);
    auto any = address("00:00:00:00:00:00", 0);
    EXPECT_EQ(plat::bind(s, any.data(), 10), -1);
    EXPECT_EQ(errno, EINVAL);
    any[1] = 2;
    EXPECT_EQ(plat::bind(s, any.data(), 14), -1);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    any[1] = 36;
    EXPECT_EQ(plat::bind(s, any.data(), 14), 0);

    uint16_t v16 = 0;
    unsigned len = 2;
    const struct {
        int level, name, error;
    } gets[] = {{0xffff, 1, ENOPROTOOPT}, {0x1609, 3, ENOPROTOOPT}, {6, 1, ENOPROTOOPT}};
    for (const auto &g : gets) {
        EXPECT_EQ(plat::getsockopt(s, g.level, g.name, &v16, &len), -1);
        EXPECT_EQ(errno, g.error);
    }
    len = 1;
    EXPECT_EQ(plat::getsockopt(s, 0x1609, 1, &v16, &len), -1);
    EXPECT_EQ(errno, EINVAL);
    const int v = 1000;
    EXPECT_EQ(plat::setsockopt(s, 0xffff, 0x1005, &v, 4), -1);
    EXPECT_EQ(errno, ENOPROTOOPT);
    EXPECT_EQ(plat::setsockopt(s, 0xffff, 0x1001, &v, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(plat::setsockopt(s, 1, 7, &v, 4), -1);  // Linux's SOL_SOCKET/SO_SNDBUF is not FreeBSD's
    EXPECT_EQ(errno, ENOPROTOOPT);
    int on = 1;
    EXPECT_EQ(plat::ioctl(s, 0x5421, &on), -1);  // Linux's FIONBIO
    EXPECT_EQ(errno, ENOTTY);

    auto nobody = address("00:11:22:33:44:99", 0x19);
    EXPECT_EQ(plat::connect(s, nobody.data(), 14), -1);
    EXPECT_EQ(errno, EHOSTDOWN);
    auto wrong_psm = address("00:11:22:33:44:55", 0x17);
    EXPECT_EQ(plat::connect(s, wrong_psm.data(), 14), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    plat::close(s);
}

TEST_F(VirtualStack, RegistryTwoDevicesAndRestartAfterKill) {
    char err[256];
    const int d1 = vbt_device_register("00:00:00:00:00:01", "one", err, sizeof err);
    const int d2 = vbt_device_register("00:00:00:00:00:02", "two", err, sizeof err);
    ASSERT_GE(d1, 0);
    ASSERT_GE(d2, 0);
    EXPECT_EQ(vbt_device_register("00:00:00:00:00:01", "again", err, sizeof err), -1);
    EXPECT_NE(std::string(err).find("already running"), std::string::npos) << err;
    ASSERT_NE(bt_gethostbyname("one"), nullptr);
    ASSERT_NE(bt_gethostbyname("two"), nullptr);
    vbt_device_unregister(d1);
    EXPECT_EQ(bt_gethostbyname("one"), nullptr);

    // A device killed outright leaves nothing that stops it from starting again.
    const pid_t child = fork();
    if (child == 0) {
        char e[256];
        const int d = vbt_device_register("00:00:00:00:00:03", "three", e, sizeof e);
        vbt_listen(d, 0x19, 672);
        pause();
        _exit(0);
    }
    for (int i = 0; i < 200 && !bt_gethostbyname("three"); ++i) usleep(5000);
    ASSERT_NE(bt_gethostbyname("three"), nullptr);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const int s = plat::socket(36, 5, 135);
    auto gone = address("00:00:00:00:00:03", 0x19);
    EXPECT_EQ(plat::connect(s, gone.data(), 14), -1);
    EXPECT_EQ(errno, EHOSTDOWN);
    plat::close(s);
    const int d3 = vbt_device_register("00:00:00:00:00:03", "three", err, sizeof err);
    ASSERT_GE(d3, 0) << err;
    const int l3 = vbt_listen(d3, 0x19, 672);
    EXPECT_GE(l3, 0);
    std::ifstream hosts(dir.file("hosts"));
    std::string all((std::istreambuf_iterator<char>(hosts)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all.find("three"), all.rfind("three"));  // one entry, not a stale one beside it
    vbt_unlisten(l3);
    vbt_device_unregister(d3);
    vbt_device_unregister(d2);
}

TEST_F(VirtualStack, UnsafeDirectoriesAreRefused) {
    char err[256] = {};
    // Any access for the group or for others, however little.
    for (mode_t mode : {0755, 0707, 0770, 0750, 0701}) {
        chmod(dir.path.c_str(), mode);
        EXPECT_EQ(vbt_device_register("00:00:00:00:00:01", "x", err, sizeof err), -1) << std::oct << mode;
        EXPECT_NE(std::string(err).find("mode must be 0700"), std::string::npos) << err;
    }
    chmod(dir.path.c_str(), 0700);
    const std::string link = dir.path + "-link";
    ASSERT_EQ(symlink(dir.path.c_str(), link.c_str()), 0);
    setenv("BLMX_VBT_DIR", link.c_str(), 1);
    EXPECT_EQ(vbt_device_register("00:00:00:00:00:01", "x", err, sizeof err), -1);
    EXPECT_NE(std::string(err).find("symbolic link"), std::string::npos) << err;
    unlink(link.c_str());
}

// Made on first use under the usual umask, the directory is one that its own
// check accepts.
TEST_F(VirtualStack, TheDirectoryIsCreatedPrivate) {
    const std::string fresh = dir.file("fresh");
    setenv("BLMX_VBT_DIR", fresh.c_str(), 1);
    const mode_t old = umask(022);
    char err[256] = {};
    const int d = vbt_device_register("00:00:00:00:00:01", "x", err, sizeof err);
    umask(old);
    ASSERT_GE(d, 0) << err;
    struct stat st;
    ASSERT_EQ(lstat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    vbt_device_unregister(d);
    const int again = vbt_device_register("00:00:00:00:00:01", "x", err, sizeof err);
    EXPECT_GE(again, 0) << err;
    vbt_device_unregister(again);
}

// A channel is connected once, and its incoming MTU is settled by then.
TEST_F(VirtualStack, AConnectedChannelStaysAsItIs) {
    start_device();
    const auto [ours, theirs] = connect_pair();
    const auto a = address("00:11:22:33:44:55", 0x19);
    errno = 0;
    EXPECT_EQ(plat::connect(ours, a.data(), 14), -1);
    EXPECT_EQ(errno, EISCONN);
    const uint16_t mtu = 1000;
    errno = 0;
    EXPECT_EQ(plat::setsockopt(ours, 0x1609, 1, &mtu, sizeof mtu), -1);
    EXPECT_EQ(errno, EISCONN);
    uint16_t got = 0;
    unsigned len = sizeof got;
    ASSERT_EQ(plat::getsockopt(ours, 0x1609, 1, &got, &len), 0);
    EXPECT_EQ(got, 672);
    plat::close(ours);
    vbt_close(theirs);
}

// The SDP client takes only the answer to its own request: a response with
// another transaction id fails the search.
TEST_F(VirtualStack, SdpRefusesAnotherTransactionsAnswer) {
    start_device(1);
    for (int offset : {0, 1}) {
        std::thread server([&] {
            const int ch = vbt_accept(listener, nullptr, nullptr);
            uint8_t req[512];
            if (vbt_read(ch, req, sizeof req) >= 3) {
                const uint16_t tid = static_cast<uint16_t>((req[1] << 8 | req[2]) + offset);
                // An empty attribute list, no continuation.
                const uint8_t rsp[] = {0x07, static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), 0x00, 0x05,
                                       0x00, 0x02, 0x35, 0x00, 0x00};
                vbt_write(ch, rsp, sizeof rsp);
            }
            uint8_t rest[16];
            while (vbt_read(ch, rest, sizeof rest) > 0) {
            }
            vbt_close(ch);
        });
        bdaddr_t any{}, remote;
        bt_aton("00:11:22:33:44:55", &remote);
        void *ss = sdp_open(&any, &remote);
        ASSERT_NE(ss, nullptr);
        uint8_t buffer[32];
        sdp_attr_t slot{1, 0, 32, buffer};
        const uint16_t classes[1] = {0x110B};
        const uint32_t ranges[1] = {0x00040004};
        EXPECT_EQ(sdp_search(ss, 1, classes, 1, ranges, 1, &slot), offset == 0 ? 0 : -1) << "offset " << offset;
        sdp_close(ss);
        server.join();
    }
}

TEST_F(VirtualStack, SdpSearchFindsTheAvdtpPsm) {
    start_device(1);
    std::thread server([&] {
        const int ch = vbt_accept(listener, nullptr, nullptr);
        const vbt_sdp_service services[] = {{0x10001, 0x110B, 0x0019, 0x0103}, {0x10002, 0x110A, 0x0021, 0x0102}};
        while (vbt_sdp_serve(ch, services, 2) == 0) {
        }
        vbt_close(ch);
    });
    bdaddr_t any{}, remote;
    bt_aton("00:11:22:33:44:55", &remote);
    void *ss = sdp_open(&any, &remote);
    ASSERT_NE(ss, nullptr);
    ASSERT_EQ(sdp_error(ss), 0);
    for (const auto &[cls, want] : {std::pair<uint16_t, int>{0x110B, 0x19}, {0x110A, 0x21}, {0x1108, -1}}) {
        uint8_t buffers[32][32] = {};
        sdp_attr_t slots[32];
        for (int i = 0; i < 32; ++i) slots[i] = {1, 0, 32, buffers[i]};
        const uint16_t classes[1] = {cls};
        const uint32_t ranges[1] = {0x00040004};
        ASSERT_EQ(sdp_search(ss, 1, classes, 1, ranges, 32, slots), 0);
        EXPECT_EQ(blmx::backend::find_psm(slots, 32), want) << std::hex << cls;
        if (want > 0) {
            EXPECT_EQ(slots[0].flags, 0);
            EXPECT_EQ(slots[0].attr, 4);
            EXPECT_EQ(slots[1].flags, 1);  // untouched
        }
    }
    sdp_close(ss);
    server.join();
}

// A slot takes what fits and no byte more: a value longer than its slot is
// cut short and flagged so; one that exactly fills it is whole.
TEST_F(VirtualStack, SdpSlotsHoldWhatFitsAndNoMore) {
    start_device(1);
    std::thread server([&] {
        const int ch = vbt_accept(listener, nullptr, nullptr);
        const vbt_sdp_service svc{0x10001, 0x110B, 0x0019, 0x0103};
        while (vbt_sdp_serve(ch, &svc, 1) == 0) {
        }
        vbt_close(ch);
    });
    bdaddr_t any{}, remote;
    bt_aton("00:11:22:33:44:55", &remote);
    void *ss = sdp_open(&any, &remote);
    ASSERT_NE(ss, nullptr);
    // The first attribute is the record handle: 0x0A and four bytes.
    const struct {
        uint32_t slot_size;
        uint16_t flags;
        uint32_t vlen;
    } cases[] = {{4, 2, 4}, {5, 0, 5}};
    for (const auto &c : cases) {
        uint8_t buffers[2][16];
        std::memset(buffers, 0xEE, sizeof buffers);
        sdp_attr_t slots[2] = {{1, 0, c.slot_size, buffers[0]}, {1, 0, c.slot_size, buffers[1]}};
        const uint16_t classes[1] = {0x110B};
        const uint32_t ranges[1] = {0x0000FFFF};
        ASSERT_EQ(sdp_search(ss, 1, classes, 1, ranges, 2, slots), 0);
        for (int k = 0; k < 2; ++k)
            for (uint32_t i = c.slot_size; i < 16; ++i) EXPECT_EQ(buffers[k][i], 0xEE) << c.slot_size;
        EXPECT_EQ(slots[0].flags, c.flags) << c.slot_size;
        EXPECT_EQ(slots[0].vlen, c.vlen) << c.slot_size;
        EXPECT_EQ(buffers[0][0], 0x0A) << c.slot_size;
    }
    sdp_close(ss);
    server.join();
}
