// Name-server requests against small loopback peers, and the reply decoders on byte buffers.

#include "libfsmcomm/ns_requests.h"
#include "libfsmcomm/platform_error.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

std::string command_of(const bytes &request) {
    return std::to_string(request[24]) + "," + std::to_string(request[25]);
}

std::string text_at(const bytes &message, size_t at) {
    return reinterpret_cast<const char *>(&message[at]);
}

// A port-mapper reply to `request` with `status`.
void answer_status(int fd, const bytes &request, uint16_t status) {
    bytes reply = pm_reply_to(request);
    put_be16(&reply[28], status);
    send_framed(fd, reply);
}

std::string address_text(const pm_message &message) {
    const host_addr a = pm_address(&message);
    char text[64];
    return addr_to_string(&a, text, sizeof text);
}

// ---- List by ordinal, list local, find ----

TEST(NsListFsm, FallsBackToTheThirdFormAndBuildsTheAddressFromOffset32) {
    fsm_peer f(3, [](int fd, const bytes &request, int i) {
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
    const char *forms[] = {"0,36", "0,131", "0,3"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(command_of(f.seen[i]), forms[i]);
        EXPECT_EQ(get_be16(&f.seen[i][30]), 3) << "ordinal in every form";
        EXPECT_EQ(get_be16(&f.seen[i][28]), 0) << "status cleared before each form";
    }
    EXPECT_STREQ(text, "");
    EXPECT_EQ(std::vector<uint32_t>({pm_get16(&message, PM_ENTRY_TYPE), pm_get16(&message, PM_PORT),
                                     pm_get16(&message, PM_STATE), pm_get32(&message, PM_PID)}),
              std::vector<uint32_t>({PM_ENTRY_FSM, 7001, 0x8005, 4242}));
    EXPECT_EQ(address_text(message) + " " + pm_name(&message), "127.0.0.2 snfs1");
}

// Status 7 ends the list (2); every form refused is -22; another error code ends the request
// at once, negated; a silent name server times out.
TEST(NsListFsm, EndOfListAndFailures) {
    const struct {
        int requests;
        answer_fn answer;
        int result;
        const char *text; // nullptr: not checked
    } cases[] = {
        {1, [](int fd, const bytes &request, int) { answer_status(fd, request, 7); }, 2, ""},
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
    reply_timeout one_second("1");
    for (const auto &c : cases) {
        fsm_peer f(c.requests, c.answer);
        pm_message message = {};
        char text[NS_TEXT_SIZE] = "stale";
        EXPECT_EQ(ns_list_fsm(f.fd, 9, &message, text), c.result);
        if (c.text != nullptr) {
            EXPECT_STREQ(text, c.text);
        }
        f.finish();
        EXPECT_EQ(f.seen.size(), size_t(c.requests)) << "no form after a final answer";
    }
}

TEST(NsFindFsm, ByNameAnswerWithAnotherNameWalksTheListFromIndexZero) {
    const char *names[] = {"fsB", "fsC", "fsA"};
    fsm_peer f(3, [&](int fd, const bytes &request, int i) {
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
    EXPECT_EQ(text_at(f.seen[0], 40), "fsA") << "asks by name first";
    EXPECT_EQ(get_be16(&f.seen[1][30]), 0);
    EXPECT_EQ(f.seen[1][40], 0) << "walk requests clear the name";
    EXPECT_EQ(get_be16(&f.seen[2][30]), 1);
    EXPECT_EQ(pm_get16(&message, PM_RUN_STATE), 2) << "run state converted to host order";
}

TEST(NsFindFsm, EndOfListAndEmptyName) {
    fsm_peer f(2, [](int fd, const bytes &request, int i) {
        bytes reply = pm_reply_to(request);
        std::strcpy(reinterpret_cast<char *>(&reply[40]), "other");
        put_be16(&reply[28], i == 1 ? 1 : 0);
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
    put_be32(m.bytes + 344, 0x01020304);
    m.bytes[32] = 10;
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_list_local_decode(&m, text), 0);
    EXPECT_EQ(pm_get16(&m, 312), 2);
    EXPECT_EQ(pm_get16(&m, 320), 0x1234);
    EXPECT_EQ(m.bytes[322], 0xAB);
    EXPECT_EQ(pm_get32(&m, 344), 0x01020304u);
    EXPECT_EQ(m.bytes[32], 10);
    put_be16(m.bytes + PM_STATUS, 1);
    EXPECT_EQ(ns_list_local_decode(&m, text), 2);
    EXPECT_STREQ(text, "VORUD List Local Fsm: End of File");
}

// ---- Disk entries ----

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

// A disk as a sink was handed it: the fixed fields, and the texts (label, serial, block and raw
// device, strings 5 and 6, inquiry, controller) copied out while they were valid.
struct taken_disk {
    disk_fields fields;
    std::vector<std::string> strings;
};

void take_disk(void *context, int index, const disk_fields &d) {
    auto *taken = static_cast<std::vector<taken_disk> *>(context);
    EXPECT_EQ(index, static_cast<int>(taken->size())) << "handed on in order";
    std::vector<std::string> strings;
    for (const disk_string &t : {d.label, d.serial, d.block_device, d.raw_device, d.string5,
                                 d.string6, d.inquiry, d.controller})
        strings.emplace_back(t.chars, t.length);
    taken->push_back({d, strings});
}

int walk(const bytes &reply, int announced, int count, std::vector<taken_disk> &taken, char *text) {
    taken.clear();
    return ns_disk_walk(reply.data(), reply.size(), announced, count, take_disk, &taken, text,
                        NS_TEXT_SIZE);
}

TEST(NsDiskWalk, HandsOnEntriesCutsLongStringsAndFindsTheNextOne) {
    bytes reply(40, 0);
    // Every string longer than its field keeps: each is cut, and the walk goes on after the
    // cut string's own terminator.
    add_disk_entry(reply,
                   {std::string(300, 'L'), std::string(70, 'S'), std::string(300, 'B'),
                    std::string(300, 'R'), std::string(300, '5'), std::string(300, '6'),
                    std::string(40, 'I'), std::string(70, 'C')},
                   0xD);
    add_disk_entry(reply, plain_disk, 0x8);
    std::vector<taken_disk> taken;
    char text[NS_TEXT_SIZE] = "";
    ASSERT_EQ(walk(reply, 2, 2, taken, text), 2);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].strings,
              (std::vector<std::string>{std::string(255, 'L'), std::string(63, 'S'),
                                        std::string(255, 'B'), std::string(255, 'R'),
                                        std::string(255, '5'), std::string(255, '6'),
                                        std::string(31, 'I'), std::string(63, 'C')}));
    const disk_fields &d = taken[0].fields;
    EXPECT_EQ(std::vector<uint64_t>({d.size, d.state, d.word_a, d.word_b, d.word_c, d.word_d,
                                     d.word_f, d.hba_id, d.lun_id, d.byte_e}),
              std::vector<uint64_t>({1ull << 36, 0xD, 0xA, 0xB, 0xC, 0xD, 0xF, 3, 4, 5}));
    EXPECT_EQ(taken[1].fields.state, 0x8u);
    EXPECT_EQ(taken[1].strings, plain_disk);

    // No more than asked for or announced.
    bytes ten(40, 0);
    for (int i = 0; i < 10; ++i)
        add_disk_entry(ten, plain_disk, static_cast<uint32_t>(i));
    EXPECT_EQ(walk(ten, 10, 4, taken, text), 4);
    ASSERT_EQ(taken.size(), 4u);
    EXPECT_EQ(taken[3].fields.state, 3u);
    EXPECT_EQ(walk(ten, 2, 10, taken, text), 2);
    EXPECT_EQ(taken.size(), 2u);
}

TEST(NsDiskWalk, AFullReplyOfTheShortestEntriesHandsOnNoMoreThanOnePage) {
    bytes reply(NS_DISK_ROOM_NEW + 16, 0);
    int entries = 0;
    for (size_t at = PM_NAME; at + DISK_ENTRY_HEADER <= reply.size(); at += DISK_ENTRY_HEADER) {
        put_be32(&reply[at], DISK_ENTRY_HEADER);
        ++entries;
    }
    EXPECT_EQ(entries, NS_DISK_PAGE_MAX) << "as many as fit";
    std::vector<taken_disk> taken;
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(walk(reply, entries, 1 << 20, taken, text), NS_DISK_PAGE_MAX);
    EXPECT_EQ(taken.size(), static_cast<size_t>(NS_DISK_PAGE_MAX));
}

// Bad lengths end the walk with an error instead of reading past the reply, and before the good
// entry in front of them is handed on.
TEST(NsDiskWalk, BadLengthsAndUnterminatedStrings) {
    char text[NS_TEXT_SIZE];
    std::vector<taken_disk> taken;
    const struct {
        const char *what;
        int64_t length_delta; // added to the entry's true length; -1000: length 0
        int announced;
    } rows[] = {{"length 0 would loop forever", -1000, 4},
                {"one past the reply", 1, 2},
                {"count beyond the entries", 0, 3}};
    for (const auto &row : rows) {
        bytes reply(40, 0);
        add_disk_entry(reply, plain_disk, 1);
        const size_t second = reply.size();
        add_disk_entry(reply, plain_disk, 2);
        const int64_t length = static_cast<int64_t>(reply.size() - second) + row.length_delta;
        put_be32(&reply[second], static_cast<uint32_t>(length < 0 ? 0 : length));
        text[0] = 0;
        EXPECT_EQ(walk(reply, row.announced, row.announced, taken, text), -1) << row.what;
        EXPECT_NE(std::string(text), "") << row.what;
        EXPECT_TRUE(taken.empty()) << row.what;
    }

    // Strings without terminators stop at the entry's end.
    bytes reply(40, 0);
    add_disk_entry(reply, {std::string(60, 'x')}, 1);
    reply.back() = 'y';
    add_disk_entry(reply, plain_disk, 2);
    ASSERT_EQ(walk(reply, 2, 2, taken, text), 2);
    EXPECT_EQ(taken[0].strings[0], std::string(60, 'x') + "y");
    EXPECT_EQ(taken[0].strings[1], "");
    EXPECT_EQ(taken[1].strings[0], "lab");
}

TEST(NsGetDisks, ChecksumStoredOnTheFirstPageAndMismatchOnALaterOne) {
    fsm_peer f(3, [](int fd, const bytes &request, int i) {
        bytes reply(40, 0);
        reply[24] = request[24];
        reply[25] = request[25];
        for (int e = 0; e < 2; ++e)
            add_disk_entry(reply, plain_disk, static_cast<uint32_t>(e));
        put_be16(&reply[26], 2);
        put_be32(&reply[32], i < 2 ? 0x1111 : 0x2222);
        send_framed(fd, reply, static_cast<uint32_t>(reply.size()));
    });
    std::vector<taken_disk> taken;
    uint32_t checksum = 0;
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_get_disks(f.fd, 0, 4, take_disk, &taken, &checksum, text), 2);
    EXPECT_EQ(checksum, 0x1111u);
    taken.clear();
    EXPECT_EQ(ns_get_disks(f.fd, 2, 4, take_disk, &taken, &checksum, text), 2) << "same list";
    EXPECT_EQ(taken.size(), 2u);
    taken.clear();
    EXPECT_EQ(ns_get_disks(f.fd, 20, 4, take_disk, &taken, &checksum, text), -2);
    EXPECT_TRUE(taken.empty()) << "a changed list hands on nothing";
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
    fsm_peer f(3, [](int fd, const bytes &request, int i) {
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
        std::memset(&reply[1400], 'S', 64); // fills its field: cut to 63
        std::strcpy(reinterpret_cast<char *>(&reply[1720]), "/dev/raw/old");
        send_framed(fd, reply, 2000);
    });
    std::vector<taken_disk> taken;
    uint32_t checksum = 77;
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_get_disks(f.fd, 0, 4, take_disk, &taken, &checksum, text), 1);
    EXPECT_EQ(checksum, 0u);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].strings, (std::vector<std::string>{"oldlabel", std::string(63, 'S'), "",
                                                          "/dev/raw/old", "", "", "INQ", ""}));
    const disk_fields &d = taken[0].fields;
    EXPECT_EQ(std::vector<uint64_t>({d.size, d.state, d.hba_id, d.lun_id, d.byte_e}),
              std::vector<uint64_t>({123456789, 5, 7, 9, 0}));
    f.finish();
    ASSERT_EQ(f.seen.size(), 3u);
    EXPECT_EQ(command_of(f.seen[1]), "0,23");
    EXPECT_EQ(command_of(f.seen[2]), "0,21");
    EXPECT_EQ(get_be16(&f.seen[2][26]), 0) << "the third form carries only the command";
}

TEST(NsGetDisks, StatusAndRefusal) {
    std::vector<taken_disk> taken;
    char text[NS_TEXT_SIZE];
    fsm_peer status(1, [](int fd, const bytes &request, int) { answer_status(fd, request, 7); });
    EXPECT_EQ(ns_get_disks(status.fd, 40, 1, take_disk, &taken, nullptr, text), 0);
    EXPECT_STREQ(text, "VORUD returned status=7");

    fsm_peer refusing(3, [](int fd, const bytes &request, int) { refuse(fd, request); });
    EXPECT_EQ(ns_get_disks(refusing.fd, 0, 1, take_disk, &taken, nullptr, text), -1);
    EXPECT_STREQ(text, "message not supported");
    EXPECT_TRUE(taken.empty());
}

// ---- Start, stop, activate ----

// Activation: only success and unknown statuses activate; statuses of the start/stop table
// keep their result and text.
TEST(NsFsmControl, StatusTablesAndTexts) {
    const struct {
        int kind; // -1: activation
        uint16_t status;
        int result;
        const char *text;
    } rows[] = {{NS_STOP, 2, 1, "FSM already exists"},
                {NS_START, 2, 1, "FSM is already running"},
                {NS_START, 1, 2, "No FSM found"},
                {NS_START, 3, 3, "FSM not configured"},
                {NS_START, 4, 4, "FSM not local"},
                {NS_START, 10, 7, "FSM cannot start on non-Primary server"},
                {NS_START, 11, 6, "HA timers mis-configured"},
                {NS_START, 13, 8, "Cannot start non-approved daemons"},
                {NS_STOP_FAILOVER, 0, 0, "Success"},
                {NS_STOP, 99, 0, "Success"},
                {-1, 0, 0, "FSM Activated"},
                {-1, 1, 2, "FSM Not found"},
                {-1, 6, NS_ACTIVATE_INTERNAL_ONLY, "Internal use only"},
                {-1, 2, 1, "FSM already exists"},
                {-1, 13, 8, "Cannot start non-approved daemons"},
                {-1, 7, 0, "FSM Activated"}};
    for (const auto &r : rows) {
        pm_message m = {};
        put_be16(m.bytes + PM_STATUS, r.status);
        char text[NS_TEXT_SIZE] = "";
        const int result =
            r.kind < 0 ? ns_activate_decode(&m, text) : ns_control_decode(&m, r.kind, 0, text);
        const std::string row =
            "kind " + std::to_string(r.kind) + " status " + std::to_string(r.status);
        EXPECT_EQ(result, r.result) << row;
        EXPECT_STREQ(text, r.text) << row;
    }
}

TEST(NsFsmControl, OlderFormsCarryTheLoopbackAddressAndThePort) {
    fsm_peer f(2, [](int fd, const bytes &request, int i) {
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
    EXPECT_EQ(address_text(m), "127.0.0.3") << "the second form's address moves to 296";
    EXPECT_EQ(pm_get32(&m, PM_IPV4), 0u);
    f.finish();
    ASSERT_EQ(f.seen.size(), 2u);
    EXPECT_EQ(command_of(f.seen[0]), "8,4");
    EXPECT_EQ(command_of(f.seen[1]), "0,132");
    EXPECT_EQ(get_be16(&f.seen[0][26]), 7777);
    EXPECT_EQ(get_be32(&f.seen[0][32]), 0u) << "first form: no IPv4 word";
    EXPECT_EQ(get_be32(&f.seen[1][32]), 0x7F000001u);
    EXPECT_EQ(bytes(&f.seen[0][303], &f.seen[0][312]), (bytes{0, 0, 0, 0xFF, 0xFF, 0x7F, 0, 0, 1}))
        << "::ffff:127.0.0.1 at 296";
    EXPECT_EQ(text_at(f.seen[0], 40), "snfs1");
    EXPECT_EQ(text_at(f.seen[1], 40), "snfs1")
        << "the refusal overwrote the request; the older form carries the name again";
}

TEST(NsFsmControl, StartOnceHasNoOlderForm) {
    fsm_peer f(1, [](int fd, const bytes &request, int) { refuse(fd, request); });
    pm_message m = {};
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_fsm_control(f.fd, NS_START_ONCE, "snfs1", &m, text), -1);
    EXPECT_STREQ(text, "unsupported message");
    f.finish();
    ASSERT_EQ(f.seen.size(), 1u);
    EXPECT_EQ(command_of(f.seen[0]), "8,27");
}

// Unframed replies: the "not supported" marks sit in the raw header bytes.
void send_unframed(int fd, const bytes &request, bool refused, uint16_t status = 0) {
    bytes reply = pm_reply_to(request);
    reply[11] = refused ? 255 : 0;
    reply[14] = refused ? 1 : 0;
    put_be16(&reply[28], status);
    send_bytes(fd, reply);
}

TEST(NsFsmActivate, UnframedWithExactlyOneFallback) {
    fsm_peer f(3, [](int fd, const bytes &request, int i) {
        send_unframed(fd, request, i != 1, i == 1 ? 6 : 0);
    });
    pm_message m = {};
    char text[NS_TEXT_SIZE];
    EXPECT_EQ(ns_fsm_activate(f.fd, "snfs1", &m, text), 5);
    EXPECT_STREQ(text, "Internal use only");
    f.finish();
    ASSERT_EQ(f.seen.size(), 2u);
    EXPECT_EQ(command_of(f.seen[0]), "8,10");
    EXPECT_EQ(command_of(f.seen[1]), "0,10");
    EXPECT_EQ(text_at(f.seen[1], 40), "snfs1");
    EXPECT_EQ(bytes(f.seen[0].begin(), f.seen[0].begin() + 24), bytes(24, 0)) << "no framing";

    fsm_peer twice(3, [](int fd, const bytes &request, int) { send_unframed(fd, request, true); });
    EXPECT_EQ(ns_fsm_activate(twice.fd, "x", &m, text), -1) << "refused twice: nothing activated";
    EXPECT_STREQ(text, "unsupported message");
    twice.finish();
    EXPECT_EQ(twice.seen.size(), 2u);
}

TEST(NsFsmActivate, ShortReplyFails) {
    fsm_peer f(1, [](int fd, const bytes &, int) { send_bytes(fd, bytes(512, 0)); });
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

TEST(NsFsmActivate, SilentNameServerEndsInTheReplyTimeOut) {
    reply_timeout one_second("1");
    fsm_peer f(1, [](int, const bytes &, int) {}); // reads the request, never answers
    pm_message m = {};
    char text[NS_TEXT_SIZE];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ns_fsm_activate(f.fd, "snfs1", &m, text), -1);
    const double took = seconds_since(start);
    EXPECT_EQ(last_system_error(), WSAETIMEDOUT);
    char expected[NS_TEXT_SIZE];
    EXPECT_STREQ(text, error_text(WSAETIMEDOUT, expected, sizeof expected));
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 2.0);
}

} // namespace
