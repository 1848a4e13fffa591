#include "io_chan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "compress.h"
#include "tests/test_util.h"

namespace {

struct Layers {
    int framed, compressed, checked;
};

std::string pattern(size_t n) {
    std::string s;
    std::mt19937 rng(99);
    while (s.size() < n) s += (rng() % 4 == 0) ? char(rng()) : "fpack record "[s.size() % 13];
    s.resize(n);
    return s;
}

// Memory channel with the layers on.
ioch* mem_chan(const std::string& text, Layers l) {
    ioch* ch = ioch_data_init(text.data(), (long)text.size());
    EXPECT_NE(ch, nullptr);
    EXPECT_EQ(ioch_options(ch, l.framed, l.compressed, l.checked), 0);
    return ch;
}

std::string written(const ioch* ch) {
    const unsigned char* d;
    long n;
    EXPECT_EQ(ioch_get_data(ch, &d, &n), 0);
    return std::string(reinterpret_cast<const char*>(d), (size_t)n);
}

// Writes `text` (in pieces of `piece` bytes) and ends the stream.
std::string write_stream(const std::string& text, Layers l, size_t piece) {
    ioch* ch = mem_chan("", l);
    for (size_t at = 0; at < text.size(); at += piece)
        EXPECT_GT(ioch_write(ch, text.data() + at, (long)std::min(piece, text.size() - at)), 0);
    EXPECT_EQ(ioch_write(ch, "", 0), 0);
    std::string wire = written(ch);
    ioch_dispose(ch);
    return wire;
}

TEST(IochRecordSize, FromTrellBufSize) {
    struct Case {
        const char* env;
        long size;
    } cases[] = {{nullptr, 16384}, {"512", 512},   {"65536", 65536}, {"511", 16384},
                 {"65537", 16384}, {"abc", 16384}, {"1000x", 16384}, {"", 16384}};
    for (const auto& c : cases) {
        testutil::ScopedEnv env("TRELL_BUF_SIZE", c.env);
        ioch* ch = ioch_new();
        EXPECT_EQ(ch->rec_size, c.size) << (c.env ? c.env : "(unset)");
        ioch_dispose(ch);
    }
}

TEST(IochRecordSize, CheckBytesShortenPayloadCompressionClamps) {
    testutil::ScopedEnv env("TRELL_BUF_SIZE", "65536");
    ioch* ch = ioch_new();
    ASSERT_EQ(ioch_options(ch, 0, 0, 1), 0);
    EXPECT_EQ(ch->payload, 65536 - 8);
    ASSERT_EQ(ioch_options(ch, 0, 1, 1), 0);
    EXPECT_EQ(ch->rec_size, COMPRESS_MAX_RECORD);
    EXPECT_EQ(ch->payload, COMPRESS_MAX_RECORD - 8);
    ioch_dispose(ch);
}

// Switching layers after bytes were buffered would change the record under
// them: refused.
TEST(IochRecordSize, OptionsAreFixedOnceBytesPassed) {
    testutil::ScopedEnv env("TRELL_BUF_SIZE", "65536");
    ioch* w = ioch_new();
    std::string text = pattern(40000);
    ASSERT_EQ(ioch_write(w, text.data(), 40000), 40000);
    EXPECT_EQ(ioch_options(w, 0, 1, 1), -1);
    EXPECT_EQ(w->rec_size, 65536);
    ioch_write(w, "", 0);
    EXPECT_EQ(written(w), text);
    ioch_dispose(w);
}

TEST(IochMemory, GrowsInKilobytes) {
    ioch* ch = ioch_new();
    std::string text = pattern(3000);
    EXPECT_EQ(ioch_write(ch, text.data(), 3000), 3000);
    EXPECT_EQ(ioch_write(ch, "", 0), 0);
    EXPECT_EQ(ch->data_cap, 3072);
    EXPECT_EQ(written(ch), text);
    ioch_dispose(ch);
}

TEST(IochFramed, WriteOfTenBytesMakesFourteen) {
    ioch* ch = ioch_mdata_init("Dc", 2);
    ASSERT_NE(ch, nullptr);
    // Options only switch layers on: the descriptor's framing stays.
    ASSERT_EQ(ioch_options(ch, 0, 0, 0), 0);
    EXPECT_EQ(ch->framed, 1);
    EXPECT_EQ(ioch_write(ch, "0123456789", 10), 10);
    EXPECT_EQ(ioch_write(ch, "", 0), 0);
    EXPECT_EQ(written(ch), std::string("\0\0\0\x0a", 4) + "0123456789");
    ioch_dispose(ch);
}

TEST(IochFramed, RecvReturnsWholeMessages) {
    const std::string msgs[] = {"first", std::string(40000, 'm'), "", "last"};
    std::string wire;
    {
        testutil::ScopedEnv env("TRELL_BUF_SIZE", "512");
        ioch* w = mem_chan("", {1, 1, 1});
        for (const auto& m : msgs) {
            if (m.empty()) continue;
            EXPECT_EQ(ioch_write(w, m.data(), (long)m.size()), (long)m.size());
        }
        ioch_write(w, "", 0);
        wire = written(w);
        ioch_dispose(w);
    }
    testutil::ScopedEnv env("TRELL_BUF_SIZE", "512");
    ioch* r = mem_chan(wire, {1, 1, 1});
    for (const auto& m : msgs) {
        if (m.empty()) continue;
        unsigned char* buf;
        long n = ioch_recv(r, &buf, 0);
        ASSERT_EQ(n, (long)m.size());
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), (size_t)n), m);
        free(buf);
    }
    unsigned char* buf;
    EXPECT_EQ(ioch_recv(r, &buf, 0), 0);
    EXPECT_EQ(buf, nullptr);
    ioch_dispose(r);
}

// Every combination of check bytes and compression, both extreme record
// sizes, lengths at the record boundaries, written in odd pieces.
TEST(IochRecords, RoundTripEveryCombination) {
    for (const char* size : {"512", "65536"}) {
        testutil::ScopedEnv env("TRELL_BUF_SIZE", size);
        for (int checked = 0; checked < 2; checked++) {
            for (int compressed = 0; compressed < 2; compressed++) {
                Layers l{0, compressed, checked};
                ioch* probe = mem_chan("", l);
                const long payload = probe->payload;
                ioch_dispose(probe);
                for (long len : {0L, 1L, payload - 1, payload, payload + 1, 7 * payload + 5}) {
                    SCOPED_TRACE(std::string("size ") + size + " checked " +
                                 std::to_string(checked) + " compressed " +
                                 std::to_string(compressed) + " len " + std::to_string(len));
                    std::string text = pattern((size_t)len);
                    std::string wire = write_stream(text, l, 1000);
                    if (!compressed) {
                        long records = (len + payload - 1) / payload;
                        EXPECT_EQ((long)wire.size(), len + records * l.checked * 8);
                    }
                    ioch* r = mem_chan(wire, l);
                    std::string back((size_t)len + 10, '\0');
                    EXPECT_EQ(ioch_read_exact(r, &back[0], len + 10), len);
                    back.resize((size_t)len);
                    EXPECT_EQ(back, text);
                    EXPECT_EQ(ioch_get_error(r, nullptr, nullptr), 0);
                    ioch_dispose(r);
                }
            }
        }
    }
}

// The 8 check bytes of a record are the MD5 prefix of all payload so far.
TEST(IochRecords, CheckBytesCoverTheStreamSoFar) {
    testutil::ScopedEnv env("TRELL_BUF_SIZE", "512");
    std::string text = pattern(504 * 2 + 10);
    std::string wire = write_stream(text, {0, 0, 1}, 4096);
    ASSERT_EQ(wire.size(), text.size() + 3 * 8);
    for (int rec = 1; rec <= 3; rec++) {
        cksum_state cs;
        cksum_init(&cs);
        cksum_add(&cs, text.data(), std::min<size_t>(504 * rec, text.size()));
        size_t at = rec < 3 ? 512 * rec - 8 : wire.size() - 8;
        EXPECT_EQ(wire.compare(at, 8, reinterpret_cast<const char*>(cksum_ptr(&cs)), 8), 0)
            << "record " << rec;
    }
    ioch* w = mem_chan("", {0, 0, 1});
    ioch_write(w, text.data(), 504);
    char hex[17];
    ioch_get_cksum(w, hex);
    ioch_dispose(w);
    std::string expect;
    for (int i = 0; i < 8; i++) {
        char b[3];
        snprintf(b, 3, "%02x", (unsigned char)wire[504 + i]);
        expect += b;
    }
    EXPECT_EQ(std::string(hex), expect);
}

struct Damage {
    const char* what;
    Layers layers;
    int error;
};

// A damaged byte in the second record: a check mismatch (54) when the
// chunk still decodes, a read failure (62) when the stream is cut.
TEST(IochRecords, DamageIsReportedWithItsRecord) {
    testutil::ScopedEnv env("TRELL_BUF_SIZE", "512");
    std::mt19937 rng(5);
    std::string text(3000, '\0');
    for (auto& c : text) c = char(rng());  // incompressible: chunks are stored
    const Damage cases[] = {{"plain records", {0, 0, 1}, IOCH_ECKSUM},
                            {"stored chunks", {0, 1, 1}, IOCH_ECKSUM}};
    for (const auto& c : cases) {
        std::string wire = write_stream(text, c.layers, 3000);
        wire[512 + 100] ^= 0x20;
        ioch* r = mem_chan(wire, c.layers);
        std::string back(3000, '\0');
        EXPECT_EQ(ioch_read_exact(r, &back[0], 3000), -1) << c.what;
        int err;
        long rec;
        EXPECT_EQ(ioch_get_error(r, &err, &rec), c.error) << c.what;
        EXPECT_EQ(rec, 2) << c.what;
        // The error sticks.
        EXPECT_EQ(ioch_getc(r), -1);
        ioch_dispose(r);
    }
    std::string wire = write_stream(text, {0, 1, 1}, 3000);
    wire.resize(wire.size() - 3);
    ioch* r = mem_chan(wire, {0, 1, 1});
    std::string back(3000, '\0');
    EXPECT_EQ(ioch_read_exact(r, &back[0], 3000), -1);
    EXPECT_EQ(ioch_get_error(r, nullptr, nullptr), IOCH_EREAD);
    ioch_dispose(r);
}

TEST(IochRecords, CorruptChunkIsAReadError) {
    // Compressed chunk whose copy reaches before the start.
    std::string wire(
        "\x00\x05\x02\x00"
        "a\x02\x05",
        7);
    ioch* r = mem_chan(wire, {0, 1, 0});
    EXPECT_EQ(ioch_getc(r), -1);
    EXPECT_EQ(ioch_get_error(r, nullptr, nullptr), IOCH_EREAD);
    ioch_dispose(r);
}

TEST(IochRead, CharactersAcrossRecordsWithPushBack) {
    testutil::ScopedEnv env("TRELL_BUF_SIZE", "512");
    std::string text = pattern(1500);
    std::string wire = write_stream(text, {0, 1, 1}, 1500);
    ioch* r = mem_chan(wire, {0, 1, 1});
    std::string back;
    for (int c; (c = ioch_getc(r)) != -1;) {
        back += char(c);
        if (back.size() == 504) {  // first byte of the second record
            ioch_ungetc(r);
            ASSERT_EQ(ioch_getc(r), c);
        }
    }
    EXPECT_EQ(back, text);
    ioch_dispose(r);
}

TEST(IochRead, RecvAndSkipWithinRecords) {
    testutil::ScopedEnv env("TRELL_BUF_SIZE", "512");
    std::string text = pattern(1200);
    ioch* r = mem_chan(write_stream(text, {0, 0, 1}, 1200), {0, 0, 1});
    unsigned char* buf;
    EXPECT_EQ(ioch_recv(r, &buf, 10), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 10), text.substr(0, 10));
    free(buf);
    // n == 0: the rest of the current record.
    EXPECT_EQ(ioch_recv(r, &buf, 0), 504 - 10);
    free(buf);
    EXPECT_EQ(ioch_skip(r, 600), 600);
    char rest[200];
    EXPECT_EQ(ioch_read_exact(r, rest, 200), 1200 - 504 - 600);
    EXPECT_EQ(std::string(rest, 96), text.substr(1104));
    ioch_dispose(r);
}

TEST(IochRaw, HeaderBypassesTheRecordLayer) {
    ioch* w = ioch_new();
    EXPECT_EQ(ioch_raw_write(w, "HDR\n", 4), 4);
    ASSERT_EQ(ioch_options(w, 0, 1, 1), 0);
    std::string text = pattern(40000);
    ioch_write(w, text.data(), (long)text.size());
    ioch_write(w, "", 0);
    // Options are fixed once records have passed.
    EXPECT_EQ(ioch_options(w, 0, 0, 0), -1);
    std::string wire = written(w);
    ioch_dispose(w);
    EXPECT_EQ(wire.substr(0, 4), "HDR\n");

    ioch* r = ioch_data_init(wire.data(), (long)wire.size());
    char hdr[4];
    EXPECT_EQ(ioch_raw_read(r, hdr, 4), 4);
    ASSERT_EQ(ioch_options(r, 0, 1, 1), 0);
    std::string back(text.size(), '\0');
    EXPECT_EQ(ioch_read_exact(r, &back[0], (long)back.size()), (long)text.size());
    EXPECT_EQ(back, text);
    ioch_dispose(r);
}

TEST(IochDescriptor, FileReadAndWrite) {
    testutil::TempDir dir;
    const std::string path = dir.file("out");
    mode_t old = umask(0);
    std::string d = "WT-640" + path;
    ioch* w = ioch_mdata_init(d.data(), (long)d.size());
    umask(old);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->type, 'F');
    std::string text = pattern(100000);
    ASSERT_EQ(ioch_write(w, text.data(), (long)text.size()), (long)text.size());
    ASSERT_EQ(ioch_write(w, "", 0), 0);
    ioch_dispose(w);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(testutil::readFile(path), text);

    d = "WA-600" + path;  // append
    w = ioch_mdata_init(d.data(), (long)d.size());
    ASSERT_NE(w, nullptr);
    ioch_write(w, "tail", 4);
    ioch_write(w, "", 0);
    ioch_dispose(w);
    d = "F " + path;
    ioch* r = ioch_mdata_init(d.data(), (long)d.size());
    ASSERT_NE(r, nullptr);
    std::string back(text.size() + 10, '\0');
    EXPECT_EQ(ioch_read_exact(r, &back[0], (long)back.size()), (long)text.size() + 4);
    EXPECT_EQ(back.substr(0, text.size() + 4), text + "tail");
    ioch_dispose(r);

    d = "WXE600" + path;  // exclusive creation of an existing file
    int err = 0;
    EXPECT_EQ(ioch_mdata_init_err(d.data(), (long)d.size(), &err), nullptr);
    EXPECT_EQ(err, EEXIST);
    d = "WX-600" + path;  // truncates
    w = ioch_mdata_init(d.data(), (long)d.size());
    ioch_dispose(w);
    EXPECT_EQ(testutil::readFile(path), "");
}

// Records arrive over a pipe in small pieces: each is read whole.
TEST(IochRecords, PipeDeliveringPiecesMeal) {
    testutil::ScopedEnv env("TRELL_BUF_SIZE", "512");
    std::string text = pattern(5000);
    for (Layers l : {Layers{0, 0, 1}, Layers{0, 1, 1}}) {
        std::string wire = write_stream(text, l, 5000);
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        std::thread writer([&] {
            for (size_t at = 0; at < wire.size(); at += 37)
                if (write(p[1], wire.data() + at, std::min<size_t>(37, wire.size() - at)) < 0)
                    break;
            close(p[1]);
        });
        ioch* r = ioch_fd_init(p[0]);
        ASSERT_EQ(ioch_options(r, l.framed, l.compressed, l.checked), 0);
        std::string back(text.size() + 1, '\0');
        EXPECT_EQ(ioch_read_exact(r, &back[0], (long)back.size()), (long)text.size());
        back.resize(text.size());
        EXPECT_EQ(back, text);
        ioch_dispose(r);
        writer.join();
    }
}

TEST(IochDescriptor, DashReadsStandardInput) {
    int saved = dup(0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "from stdin", 10), 10);
    close(p[1]);
    dup2(p[0], 0);
    close(p[0]);
    ioch* r = ioch_mdata_init("F -", 3);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->fd, 0);
    char buf[20];
    EXPECT_EQ(ioch_read_exact(r, buf, 20), 10);
    EXPECT_EQ(std::string(buf, 10), "from stdin");
    ioch_dispose(r);  // closes descriptor 0
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    dup2(saved, 0);
    close(saved);
}

struct BadDescriptor {
    std::string text;
    int error;
};

TEST(IochDescriptor, RejectedDescriptors) {
    const std::string at_limit(IOCH_NAME_MAX, 'n');
    const std::string over(IOCH_NAME_MAX + 1, 'n');
    const BadDescriptor cases[] = {
        {"", EINVAL},
        {"F", EINVAL},
        {"F ", EINVAL},
        {"F /nonexistent/x", ENOENT},
        {"F " + at_limit, ENOENT},
        {"F " + over, ENAMETOOLONG},
        {"W--644" + over, ENAMETOOLONG},
        {"W--6x4/tmp/x", EINVAL},
        {"W--644", EINVAL},
        {"B handle", ENOTSUP},
        {"B " + over, ENAMETOOLONG},
        {"M object", EINVAL},
        {std::string("F a\0b", 5), EINVAL},
    };
    for (const auto& c : cases) {
        int err = 0;
        EXPECT_EQ(ioch_mdata_init_err(c.text.data(), (long)c.text.size(), &err), nullptr)
            << c.text.substr(0, 20);
        EXPECT_EQ(err, c.error) << c.text.substr(0, 20);
    }
}

TEST(IochWrite, TransportFailureIsTheChannelError) {
    ioch* w = ioch_mdata_init("WX-600/dev/full", 15);
    ASSERT_NE(w, nullptr);
    std::string text = pattern(20000);
    EXPECT_EQ(ioch_write(w, text.data(), (long)text.size()), -1);
    EXPECT_EQ(ioch_get_error(w, nullptr, nullptr), ENOSPC);
    EXPECT_EQ(ioch_write(w, "x", 1), -1);
    ioch_dispose(w);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    void (*old)(int) = signal(SIGPIPE, SIG_IGN);
    w = ioch_fd_init(p[1]);
    ioch_write(w, "abc", 3);
    EXPECT_EQ(ioch_write(w, "", 0), -1);
    EXPECT_EQ(ioch_get_error(w, nullptr, nullptr), EPIPE);
    ioch_dispose(w);
    signal(SIGPIPE, old);
}

// A plain stream of "marker, body" pieces, read from a regular file
// (skips move the channel's offset) and from a pipe (skips read): the
// markers after each skip are the same, and a skip never goes past the end.
TEST(IochSkip, PlainFileSkipsByOffsetAsAPipeByReading) {
    const long sizes[] = {0, 1, 511, 512, 513, 4095, 4096, 16383, 16384, 16385, 100000, 7};
    std::string wire;
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; i++)
        wire += "<" + std::to_string(i) + ">" + pattern((size_t)sizes[i] + i).substr(i);
    testutil::TempDir dir;
    const std::string path = dir.write("stream", wire);
    for (bool from_file : {true, false}) {
        int p[2] = {-1, -1};
        int fd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::thread feeder;
        if (!from_file) {
            ASSERT_EQ(pipe(p), 0);
            feeder = std::thread([&] {
                for (size_t at = 0; at < wire.size(); at += 1000)
                    if (write(p[1], wire.data() + at, std::min<size_t>(1000, wire.size() - at)) < 0)
                        break;
                close(p[1]);
            });
            close(fd);
            fd = p[0];
        }
        ioch* r = ioch_fd_init(fd);
        ASSERT_EQ(ioch_options(r, 0, 0, 0), 0);
        for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; i++) {
            std::string marker = "<" + std::to_string(i) + ">";
            std::string got(marker.size(), '\0');
            ASSERT_EQ(ioch_read_exact(r, &got[0], (long)got.size()), (long)got.size()) << from_file;
            ASSERT_EQ(got, marker) << from_file;
            long body = sizes[i];
            // The last body is asked for past the end: only what is there.
            long ask = i + 1 == sizeof sizes / sizeof sizes[0] ? body + 100 : body;
            EXPECT_EQ(ioch_skip(r, ask), body) << from_file << " " << i;
        }
        char c;
        EXPECT_EQ(ioch_read_exact(r, &c, 1), 0);
        EXPECT_EQ(ioch_get_error(r, nullptr, nullptr), 0);
        ioch_dispose(r);
        if (feeder.joinable()) feeder.join();
    }
}

// Bodies moved from a plain block file into files inside the kernel: what
// was read ahead goes first. Streams that cannot be moved so move nothing
// (the caller reads them), and at the end only what is there moves.
TEST(IochSend, BodyFromAPlainFileIntoAFile) {
    testutil::TempDir dir;
    const std::string body = pattern(200000);
    const std::string wire = "HEAD" + body + "TAIL";
    const std::string path = dir.write("block", wire);
    const std::string out = dir.file("out");
    int ofd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(ofd, 0);
    ioch* r = ioch_fd_init(open(path.c_str(), O_RDONLY));
    ASSERT_EQ(ioch_options(r, 0, 0, 0), 0);
    char four[4];
    ASSERT_EQ(ioch_read_exact(r, four, 4), 4);
    EXPECT_EQ(ioch_send(r, ofd, (long)body.size()), (long)body.size());
    ASSERT_EQ(ioch_read_exact(r, four, 4), 4);
    EXPECT_EQ(std::string(four, 4), "TAIL");
    EXPECT_EQ(ioch_send(r, ofd, 10), 0);
    ioch_dispose(r);
    close(ofd);
    EXPECT_EQ(testutil::readFile(out), body);

    // Asked for more than the file holds: what is there.
    ofd = open(out.c_str(), O_WRONLY | O_TRUNC);
    r = ioch_fd_init(open(path.c_str(), O_RDONLY));
    ASSERT_EQ(ioch_options(r, 0, 0, 0), 0);
    EXPECT_EQ(ioch_send(r, ofd, (long)wire.size() + 50), (long)wire.size());
    ioch_dispose(r);
    close(ofd);
    EXPECT_EQ(testutil::readFile(out), wire);

    // Check bytes, or a pipe: nothing moves.
    std::string checked = write_stream(body, {0, 0, 1}, 70000);
    const std::string cpath = dir.write("checked", checked);
    r = ioch_fd_init(open(cpath.c_str(), O_RDONLY));
    ASSERT_EQ(ioch_options(r, 0, 0, 1), 0);
    EXPECT_EQ(ioch_send(r, 1, 100), 0);
    ioch_dispose(r);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
    r = ioch_fd_init(p[0]);
    EXPECT_EQ(ioch_send(r, 1, 3), 0);
    EXPECT_EQ(ioch_read_exact(r, four, 3), 3);
    ioch_dispose(r);
}

// A file moved into a plain stream inside the kernel comes after the bytes
// written before it, whatever the output; other streams move nothing.
TEST(IochSend, FileIntoAPlainStream) {
    testutil::TempDir dir;
    const std::string body = pattern(150000);
    int src = open(dir.write("src", body).c_str(), O_RDONLY);
    ASSERT_GE(src, 0);
    for (bool to_pipe : {false, true}) {
        std::string got;
        std::thread drain;
        int fd;
        if (to_pipe) {
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            drain = std::thread([&got, in = p[0]] {
                char buf[8192];
                for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;) got.append(buf, (size_t)n);
                close(in);
            });
            fd = p[1];
        } else {
            fd = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        ioch* w = ioch_fd_init(fd);
        ASSERT_EQ(ioch_options(w, 0, 0, 0), 0);
        ASSERT_EQ(ioch_write(w, "before", 6), 6);
        EXPECT_EQ(ioch_send_from(w, src, 1000, (long)body.size()), (long)body.size() - 1000);
        ASSERT_EQ(ioch_write(w, "after", 5), 5);
        ASSERT_EQ(ioch_write(w, "", 0), 0);
        EXPECT_EQ(ioch_close(w), 0);
        if (to_pipe)
            drain.join();
        else
            got = testutil::readFile(dir.file("out"));
        EXPECT_EQ(got, "before" + body.substr(1000) + "after") << to_pipe;
    }
    ioch* mem = ioch_new();
    EXPECT_EQ(ioch_send_from(mem, src, 0, 10), 0);
    ioch_dispose(mem);
    ioch* checked = ioch_fd_init(open("/dev/null", O_WRONLY));
    ASSERT_EQ(ioch_options(checked, 0, 0, 1), 0);
    EXPECT_EQ(ioch_send_from(checked, src, 0, 10), 0);
    ioch_dispose(checked);
    close(src);
}

}  // namespace
