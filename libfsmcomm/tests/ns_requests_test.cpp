// Name-server requests against small loopback peers, and the reply decoders on byte buffers.

#include "support_ns_peer.h"
#include "support_peer.h"

#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

std::string command_of(const bytes &request) {
    return std::to_string(request[24]) + "," + std::to_string(request[25]);
}

// Connects to a peer that answers each request with `answer(request, index)`; requests are
// collected in `seen`. The answer function sends its reply itself.
struct ns_peer_fixture {
    std::vector<bytes> seen;
    std::unique_ptr<loopback_peer> peer;
    int fd = -1;

    template <typename Answer>
    void start(int requests, Answer answer) {
        peer = std::make_unique<loopback_peer>([this, requests, answer](int client) {
            for (int i = 0; i < requests; ++i) {
                bytes request = read_request(client);
                if (request.empty())
                    return;
                seen.push_back(request);
                answer(client, request, i);
            }
            wait_for_close(client, 5);
        });
        ASSERT_TRUE(peer->listening());
        fd = connect_loopback(peer->port());
        ASSERT_GE(fd, 0);
    }
    void finish() {
        if (fd >= 0)
            close(fd);
        fd = -1;
        if (peer)
            peer->join();
    }
    ~ns_peer_fixture() { finish(); }
};

void refuse(int fd, const bytes &request) {
    send_framed(fd, pm_reply_to(request), 1024, 255, 1);
}

} // namespace

// ---- List by ordinal ----

TEST(NsListFsm, FallsBackToTheThirdFormAndBuildsTheAddressFromOffset32) {
    ns_peer_fixture f;
    f.start(3, [](int fd, const bytes &request, int i) {
        if (i < 2)
            return refuse(fd, request);
        bytes reply = pm_reply_to(request);
        put_be16(&reply[26], 7001);
        put_be16(&reply[30], 0x8000 | 5);
        const uint8_t ip[4] = {127, 0, 0, 2};
        std::memcpy(&reply[32], ip, 4);
        put_be32(&reply[36], 4242);
        std::strcpy(reinterpret_cast<char *>(&reply[40]), "snfs1");
        send_framed(fd, reply);
    });
    pm_message message = {};
    char text[NS_TEXT_SIZE] = "stale";
    EXPECT_EQ(ns_list_fsm(f.fd, 3, &message, text), 0);
    f.finish();
    ASSERT_EQ(f.seen.size(), 3u);
    EXPECT_EQ(command_of(f.seen[0]), "0,36");
    EXPECT_EQ(command_of(f.seen[1]), "0,131");
    EXPECT_EQ(command_of(f.seen[2]), "0,3");
    for (const bytes &request : f.seen) {
        EXPECT_EQ(get_be16(&request[30]), 3) << "ordinal in every form";
        EXPECT_EQ(get_be16(&request[28]), 0) << "status cleared before each form";
    }
    EXPECT_STREQ(text, "");
    EXPECT_EQ(pm_get16(&message, PM_ENTRY_TYPE), PM_ENTRY_FSM);
    EXPECT_EQ(pm_get16(&message, PM_PORT), 7001);
    EXPECT_EQ(pm_get16(&message, PM_STATE), 0x8005);
    EXPECT_EQ(pm_get32(&message, PM_PID), 4242u);
    char address[64];
    const host_addr a = pm_address(&message);
    EXPECT_STREQ(addr_to_string(&a, address, sizeof address), "127.0.0.2");
    EXPECT_STREQ(pm_name(&message), "snfs1");
}

// Status 7 ends the list (2); every form refused is -22; another error code ends the request
// at once, negated; a silent name server times out.
TEST(NsListFsm, EndOfListAndFailures) {
    using answer_fn = void (*)(int, const bytes &, int);
    const struct {
        int requests;
        answer_fn answer;
        int result;
        const char *text; // nullptr: not checked
    } cases[] = {
        {1,
         [](int fd, const bytes &request, int) {
             bytes reply = pm_reply_to(request);
             put_be16(&reply[28], 7);
             send_framed(fd, reply);
         },
         2, ""},
        {3, [](int fd, const bytes &request, int) { refuse(fd, request); }, -22,
         "unsupported message"},
        {1,
         [](int fd, const bytes &request, int) {
             send_framed(fd, pm_reply_to(request), 1024, 1, 13);
         },
         -13, nullptr},
        {1, [](int, const bytes &, int) {}, -WSAETIMEDOUT,
         "Timeout communicating with Name Server"},
    };
    setenv("TIMEDWAIT_VALUE", "1", 1);
    for (const auto &c : cases) {
        ns_peer_fixture f;
        f.start(c.requests, c.answer);
        pm_message message = {};
        char text[NS_TEXT_SIZE] = "stale";
        EXPECT_EQ(ns_list_fsm(f.fd, 9, &message, text), c.result);
        if (c.text != nullptr) {
            EXPECT_STREQ(text, c.text);
        }
        f.finish();
        EXPECT_EQ(f.seen.size(), size_t(c.requests)) << "no form after a final answer";
    }
    unsetenv("TIMEDWAIT_VALUE");
}

// ---- List local and find ----

TEST(NsFindFsm, ByNameAnswerWithAnotherNameWalksTheListFromIndexZero) {
    ns_peer_fixture f;
    const char *names[] = {"fsB", "fsC", "fsA"};
    f.start(3, [&](int fd, const bytes &request, int i) {
        bytes reply = pm_reply_to(request);
        std::strcpy(reinterpret_cast<char *>(&reply[40]), names[i]);
        put_be16(&reply[312], 2);
        send_framed(fd, reply);
    });
    pm_message message = {};
    EXPECT_EQ(ns_find_fsm(f.fd, "fsA", &message), 1);
    f.finish();
    ASSERT_EQ(f.seen.size(), 3u);
    EXPECT_EQ(command_of(f.seen[0]), "0,28");
    EXPECT_STREQ(reinterpret_cast<const char *>(&f.seen[0][40]), "fsA") << "asks by name first";
    EXPECT_EQ(get_be16(&f.seen[1][30]), 0);
    EXPECT_EQ(f.seen[1][40], 0) << "walk requests clear the name";
    EXPECT_EQ(get_be16(&f.seen[2][30]), 1);
    EXPECT_EQ(pm_get16(&message, PM_RUN_STATE), 2) << "run state converted to host order";
}

TEST(NsFindFsm, EndOfListAndEmptyName) {
    ns_peer_fixture f;
    f.start(2, [](int fd, const bytes &request, int i) {
        bytes reply = pm_reply_to(request);
        std::strcpy(reinterpret_cast<char *>(&reply[40]), "other");
        if (i == 1)
            put_be16(&reply[28], 1);
        send_framed(fd, reply);
    });
    pm_message message = {};
    EXPECT_EQ(ns_find_fsm(f.fd, "", &message), 0);
    EXPECT_EQ(ns_find_fsm(f.fd, nullptr, &message), 0);
    EXPECT_EQ(ns_find_fsm(f.fd, "missing", &message), 0);
    f.finish();
    EXPECT_EQ(f.seen.size(), 2u) << "the empty names sent nothing";
}

TEST(NsListLocalDecode, ConvertsTheTabledWordsAndLeavesTheOthers) {
    pm_message m = {};
    put_be16(m.bytes + 312, 2);
    put_be16(m.bytes + 320, 0x1234);
    m.bytes[322] = 0xAB;
    m.bytes[323] = 0xCD;
    put_be32(m.bytes + 344, 0x01020304);
    m.bytes[32] = 10;
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_list_local_decode(&m, text), 0);
    EXPECT_EQ(pm_get16(&m, 312), 2);
    EXPECT_EQ(pm_get16(&m, 320), 0x1234);
    EXPECT_EQ(m.bytes[322], 0xAB);
    EXPECT_EQ(m.bytes[323], 0xCD);
    EXPECT_EQ(pm_get32(&m, 344), 0x01020304u);
    EXPECT_EQ(m.bytes[32], 10);
    put_be16(m.bytes + PM_STATUS, 1);
    EXPECT_EQ(ns_list_local_decode(&m, text), 2);
    EXPECT_STREQ(text, "VORUD List Local Fsm: End of File");
}

// ---- Disk entries ----

namespace {

// Appends one disk_entry with the eight strings; `length_override` replaces its length word.
void add_disk_entry(bytes &reply, const std::vector<std::string> &strings, uint32_t state,
                    int64_t length_override = -1) {
    bytes entry(40, 0);
    put_be32(&entry[4], 0xA);
    put_be32(&entry[8], 0xB);
    put_be32(&entry[12], state);
    put_be64(&entry[16], 1ull << 36);
    put_be32(&entry[24], 0xC);
    put_be32(&entry[28], 0xD);
    entry[32] = 3;
    entry[33] = 4;
    entry[34] = 5;
    put_be32(&entry[36], 0xF);
    for (const std::string &s : strings) {
        entry.insert(entry.end(), s.begin(), s.end());
        entry.push_back(0);
    }
    put_be32(&entry[0], length_override >= 0 ? static_cast<uint32_t>(length_override)
                                             : static_cast<uint32_t>(entry.size()));
    reply.insert(reply.end(), entry.begin(), entry.end());
}

const std::vector<std::string> plain_disk = {"lab", "SN", "/dev/sda", "/dev/raw/raw1",
                                             "s5",  "s6", "VDISK",    "hba0"};

} // namespace

TEST(NsDiskWalk, FillsRecordsCutsLongStringsAndFindsTheNextOne) {
    bytes reply(40, 0);
    std::vector<std::string> long_label = plain_disk;
    long_label[0] = std::string(300, 'L');
    add_disk_entry(reply, long_label, 0xD);
    add_disk_entry(reply, plain_disk, 0x8);
    std::vector<disk_info> disks(2);
    char text[NS_TEXT_SIZE] = "";
    ASSERT_EQ(ns_disk_walk(reply.data(), reply.size(), 2, 2, disks.data(), text, sizeof text), 2);
    EXPECT_EQ(std::string(disks[0].label), std::string(255, 'L'));
    EXPECT_STREQ(disks[0].serial, "SN") << "the walk goes on after the cut string's terminator";
    EXPECT_STREQ(disks[0].block_device, "/dev/sda");
    EXPECT_STREQ(disks[0].raw_device, "/dev/raw/raw1");
    EXPECT_STREQ(disks[0].string5, "s5");
    EXPECT_STREQ(disks[0].string6, "s6");
    EXPECT_STREQ(disks[0].inquiry, "VDISK");
    EXPECT_STREQ(disks[0].controller, "hba0");
    EXPECT_EQ(disks[0].size, 1ull << 36);
    EXPECT_EQ(disks[0].state, 0xDu);
    EXPECT_EQ(disks[0].word_a, 0xAu);
    EXPECT_EQ(disks[0].word_b, 0xBu);
    EXPECT_EQ(disks[0].word_c, 0xCu);
    EXPECT_EQ(disks[0].word_d, 0xDu);
    EXPECT_EQ(disks[0].word_f, 0xFu);
    EXPECT_EQ(disks[0].hba_id, 3);
    EXPECT_EQ(disks[0].lun_id, 4);
    EXPECT_EQ(disks[0].byte_e, 5);
    EXPECT_EQ(disks[1].state, 0x8u);
    EXPECT_STREQ(disks[1].label, "lab");
}

TEST(NsDiskWalk, TakesNoMoreThanAskedOrAnnounced) {
    bytes reply(40, 0);
    for (int i = 0; i < 10; ++i)
        add_disk_entry(reply, plain_disk, static_cast<uint32_t>(i));
    std::vector<disk_info> disks(10);
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_disk_walk(reply.data(), reply.size(), 10, 4, disks.data(), text, sizeof text), 4);
    EXPECT_EQ(disks[3].state, 3u);
    EXPECT_EQ(ns_disk_walk(reply.data(), reply.size(), 2, 10, disks.data(), text, sizeof text), 2);
}

TEST(NsDiskWalk, AFullReplyOfTheShortestEntriesFillsNoMoreThanOnePageOfRecords) {
    bytes reply(NS_DISK_ROOM_NEW + 16, 0);
    int entries = 0;
    for (size_t at = PM_NAME; at + DISK_ENTRY_HEADER <= reply.size(); at += DISK_ENTRY_HEADER) {
        put_be32(&reply[at], DISK_ENTRY_HEADER);
        ++entries;
    }
    EXPECT_EQ(entries, NS_DISK_PAGE_MAX) << "as many as fit";
    std::vector<disk_info> disks(NS_DISK_PAGE_MAX + 1);
    disks.back().state = 0x5E47;
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(
        ns_disk_walk(reply.data(), reply.size(), entries, 1 << 20, disks.data(), text, sizeof text),
        NS_DISK_PAGE_MAX);
    EXPECT_EQ(disks.back().state, 0x5E47u) << "the record after one page stays untouched";
}

TEST(NsDiskWalk, BadLengthsEndTheWalkWithAnErrorInsteadOfReadingPastTheReply) {
    char text[NS_TEXT_SIZE];
    std::vector<disk_info> disks(4);
    {
        bytes reply(40, 0);
        add_disk_entry(reply, plain_disk, 1, 0);
        EXPECT_EQ(ns_disk_walk(reply.data(), reply.size(), 4, 4, disks.data(), text, sizeof text),
                  -1)
            << "length 0 would loop forever";
        EXPECT_NE(std::string(text), "");
    }
    {
        bytes reply(40, 0);
        add_disk_entry(reply, plain_disk, 1);
        const size_t entry_length = reply.size() - 40;
        put_be32(&reply[40], static_cast<uint32_t>(entry_length + 1));
        EXPECT_EQ(ns_disk_walk(reply.data(), reply.size(), 1, 1, disks.data(), text, sizeof text),
                  -1)
            << "one past the reply";
    }
    {
        // A count announcing more entries than the reply holds.
        bytes reply(40, 0);
        add_disk_entry(reply, plain_disk, 1);
        EXPECT_EQ(ns_disk_walk(reply.data(), reply.size(), 3, 3, disks.data(), text, sizeof text),
                  -1);
    }
    {
        // Strings without terminators stop at the entry's end.
        bytes reply(40, 0);
        add_disk_entry(reply, {std::string(60, 'x')}, 1);
        reply.back() = 'y';
        add_disk_entry(reply, plain_disk, 2);
        ASSERT_EQ(ns_disk_walk(reply.data(), reply.size(), 2, 2, disks.data(), text, sizeof text),
                  2);
        EXPECT_EQ(std::string(disks[0].label), std::string(60, 'x') + "y");
        EXPECT_STREQ(disks[0].serial, "");
        EXPECT_STREQ(disks[1].label, "lab");
    }
}

namespace {

// A first-form disk page with `entries` disks and `checksum`.
void send_disk_page(int fd, const bytes &request, int entries, uint32_t checksum) {
    bytes reply(40, 0);
    reply[24] = request[24];
    reply[25] = request[25];
    for (int i = 0; i < entries; ++i)
        add_disk_entry(reply, plain_disk, static_cast<uint32_t>(i));
    put_be16(&reply[26], static_cast<uint16_t>(entries));
    put_be32(&reply[32], checksum);
    send_framed(fd, reply, static_cast<uint32_t>(reply.size()));
}

} // namespace

TEST(NsDiskWalk, ArbitraryRepliesNeverLeaveTheBuffer) {
    // Random entry lengths and counts in replies of random size: the walk must end every time
    // with a count it could read or an error. The reply sits at the end of its allocation, so a
    // read past it is a read past the heap block (caught by the sanitizer builds).
    std::srand(12345);
    char text[NS_TEXT_SIZE];
    std::vector<disk_info> disks(8);
    int walked = 0, refused = 0;
    for (int round = 0; round < 2000; ++round) {
        const size_t size = 40 + static_cast<size_t>(std::rand() % 600);
        std::unique_ptr<uint8_t[]> reply(new uint8_t[size]);
        for (size_t i = 0; i < size; ++i)
            reply[i] = static_cast<uint8_t>(std::rand() % 4 == 0 ? 0 : std::rand());
        for (size_t at = 40; at + 4 <= size; at += 40 + static_cast<size_t>(std::rand() % 80))
            put_be32(&reply[at],
                     static_cast<uint32_t>(std::rand() % 2 ? std::rand() % 160 : std::rand()));
        const int announced = std::rand() % 12;
        const int count = std::rand() % 9;
        const int n =
            ns_disk_walk(reply.get(), size, announced, count, disks.data(), text, sizeof text);
        ASSERT_GE(n, -1);
        ASSERT_LE(n, std::min(announced, count));
        walked += n > 0;
        refused += n < 0;
        for (int i = 0; i < n; ++i) {
            ASSERT_LT(std::strlen(disks[i].label), sizeof disks[i].label);
            ASSERT_LT(std::strlen(disks[i].controller), sizeof disks[i].controller);
        }
    }
    EXPECT_GT(walked, 50) << "the replies must also hold walkable entries";
    EXPECT_GT(refused, 50);
}

TEST(NsGetDisks, ChecksumStoredOnTheFirstPageAndMismatchOnALaterOne) {
    ns_peer_fixture f;
    f.start(3, [](int fd, const bytes &request, int i) {
        send_disk_page(fd, request, 2, i < 2 ? 0x1111 : 0x2222);
    });
    std::vector<disk_info> disks(4);
    uint32_t checksum = 0;
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_get_disks(f.fd, 0, 4, disks.data(), &checksum, text), 2);
    EXPECT_EQ(checksum, 0x1111u);
    EXPECT_EQ(ns_get_disks(f.fd, 2, 4, disks.data(), &checksum, text), 2) << "same list";
    EXPECT_EQ(ns_get_disks(f.fd, 20, 4, disks.data(), &checksum, text), -2);
    EXPECT_EQ(checksum, 0x2222u) << "the new checksum is kept";
    EXPECT_STREQ(text, "VORUD checksum mismatch: Wanted=4369 Got=8738");
    f.finish();
    ASSERT_EQ(f.seen.size(), 3u);
    EXPECT_EQ(command_of(f.seen[0]), "8,14");
    EXPECT_EQ(get_be16(&f.seen[0][26]), 8152) << "room for entries";
    EXPECT_EQ(get_be32(&f.seen[0][36]), 4u) << "entries wanted";
    EXPECT_EQ(get_be16(&f.seen[2][30]), 20) << "first index";
}

TEST(NsGetDisks, ThirdFormReadsOneDiskAtFixedOffsets) {
    ns_peer_fixture f;
    f.start(3, [](int fd, const bytes &request, int i) {
        if (i < 2)
            return refuse(fd, request);
        bytes reply(2000, 0);
        put_be32(&reply[1024], 0xA);
        put_be64(&reply[1032], 123456789);
        put_be32(&reply[1976], 0x4 | 0x1);
        reply[1980] = 7;
        reply[1981] = 9;
        std::strcpy(reinterpret_cast<char *>(&reply[1048]), "oldlabel");
        std::strcpy(reinterpret_cast<char *>(&reply[1304]), "INQ");
        std::strcpy(reinterpret_cast<char *>(&reply[1400]), "SER");
        std::strcpy(reinterpret_cast<char *>(&reply[1720]), "/dev/raw/old");
        send_framed(fd, reply, 2000);
    });
    std::vector<disk_info> disks(4);
    uint32_t checksum = 77;
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_get_disks(f.fd, 0, 4, disks.data(), &checksum, text), 1);
    EXPECT_EQ(checksum, 0u);
    EXPECT_STREQ(disks[0].label, "oldlabel");
    EXPECT_STREQ(disks[0].inquiry, "INQ");
    EXPECT_STREQ(disks[0].serial, "SER");
    EXPECT_STREQ(disks[0].raw_device, "/dev/raw/old");
    EXPECT_EQ(disks[0].size, 123456789u);
    EXPECT_EQ(disks[0].state, 5u);
    EXPECT_EQ(disks[0].hba_id, 7);
    EXPECT_EQ(disks[0].lun_id, 9);
    f.finish();
    ASSERT_EQ(f.seen.size(), 3u);
    EXPECT_EQ(command_of(f.seen[1]), "0,23");
    EXPECT_EQ(command_of(f.seen[2]), "0,21");
    EXPECT_EQ(get_be16(&f.seen[2][26]), 0) << "the third form carries only the command";
}

TEST(NsGetDisks, StatusAndRefusal) {
    {
        ns_peer_fixture f;
        f.start(1, [](int fd, const bytes &request, int) {
            bytes reply = pm_reply_to(request);
            put_be16(&reply[28], 7);
            send_framed(fd, reply);
        });
        std::vector<disk_info> disks(1);
        char text[NS_TEXT_SIZE];
        EXPECT_EQ(ns_get_disks(f.fd, 40, 1, disks.data(), nullptr, text), 0);
        EXPECT_STREQ(text, "VORUD returned status=7");
    }
    {
        ns_peer_fixture f;
        f.start(3, [](int fd, const bytes &request, int) { refuse(fd, request); });
        std::vector<disk_info> disks(1);
        char text[NS_TEXT_SIZE];
        EXPECT_EQ(ns_get_disks(f.fd, 0, 1, disks.data(), nullptr, text), -1);
        EXPECT_STREQ(text, "message not supported");
    }
}

// ---- Start, stop, activate ----

TEST(NsFsmControl, StatusTableAndTexts) {
    struct row {
        int kind;
        uint16_t status;
        int result;
        const char *text;
    };
    const row rows[] = {{NS_STOP, 2, 1, "FSM already exists"},
                        {NS_START, 2, 1, "FSM is already running"},
                        {NS_START, 1, 2, "No FSM found"},
                        {NS_START, 3, 3, "FSM not configured"},
                        {NS_START, 4, 4, "FSM not local"},
                        {NS_START, 10, 7, "FSM cannot start on non-Primary server"},
                        {NS_START, 11, 6, "HA timers mis-configured"},
                        {NS_START, 13, 8, "Cannot start non-approved daemons"},
                        {NS_STOP_FAILOVER, 0, 0, "Success"},
                        {NS_STOP, 99, 0, "Success"}};
    for (const row &r : rows) {
        pm_message m = {};
        put_be16(m.bytes + PM_STATUS, r.status);
        char text[NS_TEXT_SIZE];
        EXPECT_EQ(ns_control_decode(&m, r.kind, 0, text), r.result) << r.status;
        EXPECT_STREQ(text, r.text);
    }
}

TEST(NsFsmControl, OlderFormsCarryTheLoopbackAddressAndThePort) {
    ns_peer_fixture f;
    f.start(2, [](int fd, const bytes &request, int i) {
        if (i == 0)
            return refuse(fd, request);
        bytes reply = pm_reply_to(request);
        const uint8_t ip[4] = {127, 0, 0, 3};
        std::memcpy(&reply[32], ip, 4);
        send_framed(fd, reply);
    });
    pm_message m = {};
    pm_set16(&m, PM_PORT, 7777);
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_fsm_control(f.fd, NS_START, "snfs1", &m, text), 0);
    EXPECT_STREQ(text, "Success");
    host_addr a = pm_address(&m);
    char address[64];
    EXPECT_STREQ(addr_to_string(&a, address, sizeof address), "127.0.0.3")
        << "the second form's address moves to 296";
    EXPECT_EQ(pm_get32(&m, PM_IPV4), 0u);
    f.finish();
    ASSERT_EQ(f.seen.size(), 2u);
    EXPECT_EQ(command_of(f.seen[0]), "8,4");
    EXPECT_EQ(command_of(f.seen[1]), "0,132");
    EXPECT_EQ(get_be16(&f.seen[0][26]), 7777);
    EXPECT_EQ(get_be32(&f.seen[0][32]), 0u) << "first form: no IPv4 word";
    EXPECT_EQ(get_be32(&f.seen[1][32]), 0x7F000001u);
    EXPECT_EQ(f.seen[0][303], 0);
    EXPECT_EQ(f.seen[0][304], 0) << "::ffff:127.0.0.1 at 296";
    EXPECT_EQ(f.seen[0][306], 0xFF);
    EXPECT_EQ(f.seen[0][308], 0x7F);
    EXPECT_EQ(f.seen[0][311], 1);
    EXPECT_STREQ(reinterpret_cast<const char *>(&f.seen[0][40]), "snfs1");
    EXPECT_STREQ(reinterpret_cast<const char *>(&f.seen[1][40]), "snfs1")
        << "the refusal overwrote the request; the older form carries the name again";
}

TEST(NsFsmControl, StartOnceHasNoOlderForm) {
    ns_peer_fixture f;
    f.start(1, [](int fd, const bytes &request, int) { refuse(fd, request); });
    pm_message m = {};
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_fsm_control(f.fd, NS_START_ONCE, "snfs1", &m, text), -1);
    EXPECT_STREQ(text, "unsupported message");
    f.finish();
    ASSERT_EQ(f.seen.size(), 1u);
    EXPECT_EQ(command_of(f.seen[0]), "8,27");
}

TEST(NsFsmActivate, UnframedWithExactlyOneFallback) {
    ns_peer_fixture f;
    f.start(3, [](int fd, const bytes &request, int i) {
        bytes reply = pm_reply_to(request);
        // Unframed replies: the "not supported" marks sit in the raw header bytes.
        reply[11] = 255;
        reply[14] = 1;
        reply[15] = 0;
        if (i == 1) {
            reply[11] = 0;
            reply[14] = 0;
            put_be16(&reply[28], 6);
        }
        send_bytes(fd, reply);
    });
    pm_message m = {};
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_fsm_activate(f.fd, "snfs1", &m, text), 5);
    EXPECT_STREQ(text, "Internal use only");
    f.finish();
    ASSERT_EQ(f.seen.size(), 2u);
    EXPECT_EQ(command_of(f.seen[0]), "8,10");
    EXPECT_EQ(command_of(f.seen[1]), "0,10");
    EXPECT_STREQ(reinterpret_cast<const char *>(&f.seen[1][40]), "snfs1");
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(f.seen[0][i], 0) << "no framing, byte " << i;
}

TEST(NsFsmActivate, SecondRefusalIsNotRetriedAndShortRepliesFail) {
    {
        ns_peer_fixture f;
        f.start(3, [](int fd, const bytes &request, int) {
            bytes reply = pm_reply_to(request);
            reply[11] = 255;
            reply[14] = 1;
            send_bytes(fd, reply);
        });
        pm_message m = {};
        char text[NS_TEXT_SIZE];
        EXPECT_EQ(ns_fsm_activate(f.fd, "x", &m, text), -1) << "refused twice: nothing activated";
        EXPECT_STREQ(text, "unsupported message");
        f.finish();
        EXPECT_EQ(f.seen.size(), 2u);
    }
    {
        ns_peer_fixture f;
        f.start(1, [](int fd, const bytes &, int) {
            bytes half(512, 0);
            send_bytes(fd, half);
        });
        pm_message m = {};
        char text[NS_TEXT_SIZE];
        std::thread closer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            shutdown(f.fd, SHUT_RD);
        });
        const int result = ns_fsm_activate(f.fd, "x", &m, text);
        closer.join();
        EXPECT_EQ(result, -1);
        EXPECT_STREQ(text, "Connection reset");
    }
}

// Only success and unknown statuses activate; statuses of the start/stop table keep their
// result and text.
TEST(NsFsmActivate, StatusTable) {
    const struct {
        uint16_t status;
        int result;
        const char *text;
    } rows[] = {{0, 0, "FSM Activated"},
                {1, 2, "FSM Not found"},
                {6, NS_ACTIVATE_INTERNAL_ONLY, "Internal use only"},
                {2, 1, "FSM already exists"},
                {3, 3, "FSM not configured"},
                {4, 4, "FSM not local"},
                {10, 7, "FSM cannot start on non-Primary server"},
                {11, 6, "HA timers mis-configured"},
                {13, 8, "Cannot start non-approved daemons"},
                {7, 0, "FSM Activated"}};
    for (const auto &row : rows) {
        pm_message m = {};
        char text[NS_TEXT_SIZE] = "";
        put_be16(m.bytes + PM_STATUS, row.status);
        EXPECT_EQ(ns_activate_decode(&m, text), row.result) << "status " << row.status;
        EXPECT_STREQ(text, row.text) << "status " << row.status;
    }
}

TEST(NsFsmActivate, SilentNameServerEndsInTheReplyTimeOut) {
    setenv("TIMEDWAIT_VALUE", "1", 1);
    ns_peer_fixture f;
    f.start(1, [](int, const bytes &, int) {}); // reads the request, never answers
    pm_message m = {};
    char text[NS_TEXT_SIZE];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ns_fsm_activate(f.fd, "snfs1", &m, text), -1);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(last_system_error(), WSAETIMEDOUT);
    char expected[NS_TEXT_SIZE];
    EXPECT_STREQ(text, error_text(WSAETIMEDOUT, expected, sizeof expected));
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 2.0);
    f.finish();
    unsetenv("TIMEDWAIT_VALUE");
}
