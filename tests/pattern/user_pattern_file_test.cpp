#include <cstdlib>
#include <string>

#include "pattern_test_support.h"

namespace {

class UserPatternFileTest : public PatternTest {
   protected:
    void TearDown() override {
        if (file_) fclose(file_);
        free(data_);
    }

    FILE* Write(const std::string& content) {
        file_ = tmpfile();
        fwrite(content.data(), 1, content.size(), file_);
        return file_;
    }

    // Result and console output of one read.
    std::pair<int, std::string> Read(bool hex) {
        testing::internal::CaptureStdout();
        const int rc = ReadPatternFile(file_, &data_, &length_, hex);
        return {rc, testing::internal::GetCapturedStdout()};
    }

    std::vector<uint8_t> Bytes() const { return std::vector<uint8_t>(data_, data_ + length_); }

    FILE* file_ = nullptr;
    uint8_t* data_ = nullptr;
    uint32_t length_ = 12345;
};

TEST_F(UserPatternFileTest, NoFileLeavesOutputsAlone) {
    EXPECT_EQ(ReadPatternFile(nullptr, &data_, &length_, false), 0);
    EXPECT_EQ(data_, nullptr);
    EXPECT_EQ(length_, 12345u);
}

TEST_F(UserPatternFileTest, BinarySizeLimits) {
    std::string content(1047999, '\0');
    content[0] = 'A';
    content.back() = 'Z';
    Write(content);
    ASSERT_EQ(Read(false), std::make_pair(0, std::string()));
    ASSERT_EQ(length_, 1047999u);
    EXPECT_EQ(data_[0], 'A');
    EXPECT_EQ(data_[length_ - 1], 'Z');
}

TEST_F(UserPatternFileTest, BinaryTooLongOrEmptyIsRefused) {
    Write(std::string(1048000, 'x'));
    EXPECT_EQ(
        Read(false),
        std::make_pair(-1, std::string("ReadPatternFile, file too long 1048000, max 1048000\n")));
    fclose(file_);
    Write("");
    EXPECT_EQ(Read(false), std::make_pair(-1, std::string("ReadPatternFile, file is empty\n")));
    EXPECT_EQ(data_, nullptr);
}

TEST_F(UserPatternFileTest, HexValuesWithAndWithoutSpaces) {
    Write("0A 1B\n");
    EXPECT_EQ(Read(true).first, 0);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{0x0A, 0x1B}));
    fclose(file_);
    free(data_);
    data_ = nullptr;
    Write("0a1B2C");
    EXPECT_EQ(Read(true).first, 0);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{0x0A, 0x1B, 0x2C}));
}

TEST_F(UserPatternFileTest, HexStoppedByOtherTextFailsNamingWhy) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"0A,1B", "ReadPatternFile, not a hexadecimal value at offset 2\n"},
        {"   \n\t ", "ReadPatternFile, no hexadecimal values\n"},
        {"0A 1B zz", "ReadPatternFile, not a hexadecimal value at offset 6\n"},
        {"+1", "ReadPatternFile, not a hexadecimal value at offset 0\n"},
    };
    for (const auto& c : cases) {
        const char* text = c.text;
        Write(text);
        length_ = 7;
        EXPECT_EQ(Read(true), std::make_pair(-1, std::string(c.message))) << text;
        EXPECT_EQ(length_, 0u) << text;
        EXPECT_EQ(data_, nullptr) << text;
        fclose(file_);
        file_ = nullptr;
    }
}

// Seven characters make a three-byte buffer; the four values still all arrive.
TEST_F(UserPatternFileTest, HexSingleDigitsNeedingMoreThanHalfTheFile) {
    Write("1 2 3 4");
    EXPECT_EQ(Read(true).first, 0);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{1, 2, 3, 4}));
    fclose(file_);
    free(data_);
    data_ = nullptr;
    Write("F");
    EXPECT_EQ(Read(true).first, 0);
    EXPECT_EQ(Bytes(), (std::vector<uint8_t>{0x0F}));
}

}  // namespace
