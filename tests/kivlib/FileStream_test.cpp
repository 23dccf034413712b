#include "kivlib/KivFileStream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "OpenFiles.h"
#include "kivlib/kiv_text.h"
#include "support/TestSupport.h"

namespace {

std::wstring W(const std::string& path) { return kivm::FromUTF8ExW(path); }

std::string ReadAll(IBlockingStream& stream, size_t block) {
    std::string all;
    std::string buffer(block, '\0');
    for (;;) {
        size_t got = stream.Read(&buffer[0], block);
        all.append(buffer, 0, got);
        if (got < block) return all;
    }
}

TEST(FileStream, WrittenBytesReadBackWithShortCountAtTheEnd) {
    testsupport::TempDir dir;
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<char>(i * 7));
    {
        boost::shared_ptr<IBlockingStream> out = KivFileStream::GetInstance(W(dir.file("f.bin")), OPEN_CREATE);
        ASSERT_TRUE(out);
        ASSERT_TRUE(out->Write(bytes.data(), bytes.size()));
        EXPECT_TRUE(out->Sync());
        EXPECT_EQ(bytes.size(), out->GetSize());
    }
    boost::shared_ptr<IBlockingStream> in = KivFileStream::GetInstance(W(dir.file("f.bin")), OPEN_READ);
    ASSERT_TRUE(in);
    EXPECT_EQ(bytes, ReadAll(*in, 320));  // 3 full blocks, then a short one of 40
    char byte;
    EXPECT_EQ(0u, in->Read(&byte, 1));
    ASSERT_TRUE(in->Seek(10));
    char ten[10];
    ASSERT_EQ(10u, in->Read(ten, 10));
    EXPECT_EQ(bytes.substr(10, 10), std::string(ten, 10));
    EXPECT_FALSE(in->Write("x", 1)) << "a stream opened for reading takes no bytes";
}

TEST(FileStream, CreateTruncatesAnExistingFile) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("old"), std::string(5000, 'o'));
    boost::shared_ptr<IBlockingStream> out = KivFileStream::GetInstance(W(dir.file("old")), OPEN_CREATE);
    ASSERT_TRUE(out);
    EXPECT_EQ(0u, out->GetSize());
    ASSERT_TRUE(out->Write("new", 3));
    out.reset();
    EXPECT_EQ("new", testsupport::ReadFile(dir.file("old")));
}

TEST(FileStream, OffsetsAndSizesBeyond4GiBOnASparseFile) {
    testsupport::TempDir dir;
    const uint64_t fourGiB = 4ull << 30;
    const uint64_t far = 5ull << 30;
    const std::string path = dir.file("sparse.bin");
    {
        boost::shared_ptr<IBlockingStream> out = KivFileStream::GetInstance(W(path), OPEN_CREATE);
        ASSERT_TRUE(out);
        ASSERT_TRUE(out->Seek(fourGiB - 3));
        ASSERT_TRUE(out->Write("ACROSS", 6));  // straddles the 32-bit boundary
        ASSERT_TRUE(out->Seek(far));
        ASSERT_TRUE(out->Write("tail", 4));
        EXPECT_EQ(far + 4, out->GetSize());
    }
    boost::shared_ptr<IBlockingStream> in = KivFileStream::GetInstance(W(path), OPEN_READ);
    ASSERT_TRUE(in);
    EXPECT_EQ(far + 4, in->GetSize());
    char buffer[16];
    ASSERT_TRUE(in->Seek(fourGiB - 5));
    ASSERT_EQ(10u, in->Read(buffer, 10));
    EXPECT_EQ(std::string("\0\0ACROSS\0\0", 10), std::string(buffer, 10));
    ASSERT_TRUE(in->Seek(far - 2));
    ASSERT_EQ(6u, in->Read(buffer, sizeof(buffer)));
    EXPECT_EQ(std::string("\0\0tail", 6), std::string(buffer, 6));
}

// A named pipe with no writer would hold open() forever; a device is no file to send either.
TEST(FileStream, OnlyRegularFilesOpenForReadingAndNothingWaits) {
    testsupport::TempDir dir;
    const std::string fifo = dir.file("x.mp4");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ASSERT_EQ(0, symlink(fifo.c_str(), dir.file("link.mp4").c_str()));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(KivFileStream::GetInstance(W(fifo), OPEN_READ));
    EXPECT_FALSE(KivFileStream::GetInstance(W(dir.file("link.mp4")), OPEN_READ));
    EXPECT_FALSE(KivFileStream::GetInstance(L"/dev/zero", OPEN_READ));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // A regular file, also through a link, opens and reads as ever (blocking reads, the whole count).
    testsupport::WriteFile(dir.file("real.mp4"), std::string(100, 'v'));
    ASSERT_EQ(0, symlink("real.mp4", dir.file("to-real.mp4").c_str()));
    boost::shared_ptr<IBlockingStream> in = KivFileStream::GetInstance(W(dir.file("to-real.mp4")), OPEN_READ);
    ASSERT_TRUE(in);
    char buffer[64];
    EXPECT_EQ(64u, in->Read(buffer, sizeof(buffer)));
    EXPECT_EQ(36u, in->Read(buffer, sizeof(buffer)));
    EXPECT_EQ(0u, in->Read(buffer, sizeof(buffer)));
}

TEST(FileStream, WriteFailureIsReported) {
    boost::shared_ptr<IBlockingStream> full = KivFileStream::GetInstance(L"/dev/full", OPEN_CREATE);
    ASSERT_TRUE(full);
    EXPECT_FALSE(full->Write("x", 1));
}

TEST(FileStream, ReadErrorThrows) {
    // Reading this process's memory at an unmapped address fails with EIO.
    boost::shared_ptr<IBlockingStream> mem = KivFileStream::GetInstance(L"/proc/self/mem", OPEN_READ);
    ASSERT_TRUE(mem);
    ASSERT_TRUE(mem->Seek(0));  // page 0 is never mapped
    char byte;
    EXPECT_THROW(mem->Read(&byte, 1), std::runtime_error);
}

TEST(FileStream, OpenFailuresGiveNoStream) {
    testsupport::TempDir dir;
    EXPECT_FALSE(KivFileStream::GetInstance(W(dir.file("missing")), OPEN_READ));
    EXPECT_FALSE(KivFileStream::GetInstance(W(dir.file("no/such/folder/f")), OPEN_CREATE));
    EXPECT_FALSE(KivFileStream::GetInstance(W(dir.path()), OPEN_READ));
    EXPECT_FALSE(KivFileStream::GetInstance(W(dir.path()), OPEN_CREATE));
    EXPECT_FALSE(KivFileStream::GetInstance(W(dir.file("x")), static_cast<open_type>(1)));
}

TEST(FileStream, NonAsciiPathAndCloseOnExec) {
    testsupport::TempDir dir;
    const std::string path = dir.file("\xC3\xA9t\xC3\xA9.txt");
    boost::shared_ptr<IBlockingStream> out = KivFileStream::GetInstance(W(path), OPEN_CREATE);
    ASSERT_TRUE(out);
    long flags = openfiles::FlagsOfDescriptorOn(path);
    ASSERT_NE(-1, flags);
    EXPECT_TRUE(flags & O_CLOEXEC);
    ASSERT_TRUE(out->Write("ok", 2));
    out.reset();
    EXPECT_EQ(-1, openfiles::FlagsOfDescriptorOn(path)) << "the descriptor closes with the stream";
    EXPECT_EQ("ok", testsupport::ReadFile(path));
}

}  // namespace
