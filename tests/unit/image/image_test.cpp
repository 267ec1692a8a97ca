#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "settings/settings.h"
#include "image/image.h"
#include "protocol/sysinfo.h"
#include "tools/mkimage/image_maker.h"

namespace {

// One case of the checks: an image as mkimage makes it, and the outcome.
struct CheckCase {
  const char* name;
  ImagePlan plan;
  const char* message;  // nullptr: passes
  uint32_t version;
};

ImagePlan spec_with(void (*change)(ImagePlan&)) {
  ImagePlan plan;
  plan.body = make_body(1000, 7);
  change(plan);
  return plan;
}

const CheckCase CHECK_CASES[] = {
    {"valid", spec_with([](ImagePlan&) {}), nullptr, 0x0102},
    {"bad_magic", spec_with([](ImagePlan& s) { s.broken = Broken::magic; }), MSG_ILLEGAL_FORMAT,
     IMAGE_VERSION_NONE},
    {"format_0100", spec_with([](ImagePlan& s) { s.broken = Broken::format; }),
     MSG_ILLEGAL_FORMAT, IMAGE_VERSION_NONE},
    {"product_00020004", spec_with([](ImagePlan& s) { s.broken = Broken::product; }),
     MSG_ILLEGAL_FORMAT, IMAGE_VERSION_NONE},
    {"product_00010005", spec_with([](ImagePlan& s) { s.product = 0x00010005; }),
     MSG_ILLEGAL_FORMAT, IMAGE_VERSION_NONE},
    {"product_byte13_free", spec_with([](ImagePlan& s) { s.product = 0x0001FF04; }), nullptr,
     0x0102},
    {"header_sum", spec_with([](ImagePlan& s) { s.broken = Broken::header_sum; }),
     MSG_BAD_CHECKSUM, IMAGE_VERSION_NONE},
    {"body_sum", spec_with([](ImagePlan& s) { s.broken = Broken::body_sum; }), MSG_BAD_CHECKSUM,
     IMAGE_VERSION_NONE},
    {"truncated_header", spec_with([](ImagePlan& s) { s.broken = Broken::truncated; }),
     MSG_ILLEGAL_FORMAT, IMAGE_VERSION_NONE},
    {"record_outside_header", spec_with([](ImagePlan& s) { s.broken = Broken::record_outside; }),
     MSG_ILLEGAL_FORMAT, IMAGE_VERSION_NONE},
    {"looping_chain_ends_walk", spec_with([](ImagePlan& s) { s.broken = Broken::looping_chain; }),
     nullptr, IMAGE_VERSION_NONE},
    {"no_version_record", spec_with([](ImagePlan& s) { s.has_version = false; }), nullptr,
     IMAGE_VERSION_NONE},
    {"records_not_searched", spec_with([](ImagePlan& s) { s.has_records = false; }), nullptr,
     IMAGE_VERSION_NONE},
    {"empty_body", spec_with([](ImagePlan& s) { s.body.clear(); }), nullptr, 0x0102},
    {"body_of_three", spec_with([](ImagePlan& s) { s.body = {9, 8, 7}; }), nullptr, 0x0102},
};

class CheckImage : public testing::TestWithParam<CheckCase> {};

TEST_P(CheckImage, MessageAndVersion) {
  const CheckCase& c = GetParam();
  std::vector<uint8_t> image = make_image(c.plan);
  ImageCheck check = validate_image_bytes(image.data(), image.size());
  if (c.message)
    EXPECT_STREQ(check.message, c.message);
  else
    EXPECT_EQ(check.message, nullptr) << check.message;
  EXPECT_EQ(check.version, c.version);
}

INSTANTIATE_TEST_SUITE_P(Images, CheckImage, testing::ValuesIn(CHECK_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

// Hand-made headers around the edges of the header length and the chain.
std::vector<uint8_t> header(uint16_t header_length, size_t size) {
  std::vector<uint8_t> h(size, 0);
  std::memcpy(h.data(), "ROZE", 4);
  put_le16(&h[IMAGE_FORMAT_AT], IMAGE_FORMAT);
  put_le16(&h[IMAGE_HEADER_LENGTH_AT], header_length);
  put_le32(&h[IMAGE_PRODUCT_AT], ACCEPTED_PRODUCT);
  return h;
}

void balance(std::vector<uint8_t>& h, size_t header_length, size_t at) {
  h[at] = 0;
  h[at] = static_cast<uint8_t>(0u - header_byte_sum(h.data(), header_length));
  put_le32(&h[IMAGE_BODY_SUM_AT], 0);
  uint32_t sum = body_word_sum(h.data() + header_length, h.size() - header_length);
  put_le32(&h[IMAGE_BODY_SUM_AT], 0u - sum);
  // The body sum field is in the header: balance again.
  h[at] = 0;
  h[at] = static_cast<uint8_t>(0u - header_byte_sum(h.data(), header_length));
}

TEST(CheckImageEdges, ShortFilesAndHeaderLengthsAreIllegal) {
  for (size_t size : {0, 3, 4, 31}) {
    std::vector<uint8_t> h = header(32, 32);
    h.resize(size);
    EXPECT_STREQ(validate_image_bytes(h.data(), h.size()).message, MSG_ILLEGAL_FORMAT) << size;
  }
  // header_length below the fixed fields or beyond the file
  for (uint16_t length : {0, 31, 65, 0xFFFF}) {
    std::vector<uint8_t> h = header(length, 64);
    EXPECT_STREQ(validate_image_bytes(h.data(), h.size()).message, MSG_ILLEGAL_FORMAT) << length;
  }
  std::vector<uint8_t> h = header(64, 64);  // header to the last byte, empty body
  balance(h, 64, 40);
  EXPECT_EQ(validate_image_bytes(h.data(), h.size()).message, nullptr);
}

TEST(CheckImageEdges, ChainWalk) {
  // A chain of one filler and a self-loop, and a chain that steps backwards
  // into the fixed fields; neither may loop for ever.
  std::vector<uint8_t> h = header(96, 100);
  put_le16(&h[IMAGE_HAS_RECORDS_AT], 1);
  put_le16(&h[IMAGE_FIRST_RECORD_AT], 40);
  put_le16(&h[40 + RECORD_NEXT_AT], 64);
  put_le16(&h[64 + RECORD_NEXT_AT], 64);
  balance(h, 96, 90);
  ImageCheck check = validate_image_bytes(h.data(), h.size());
  EXPECT_EQ(check.message, nullptr);
  EXPECT_EQ(check.version, IMAGE_VERSION_NONE);

  put_le16(&h[64 + RECORD_NEXT_AT], 0);  // record at 0 has next = "RO"
  balance(h, 96, 90);
  check = validate_image_bytes(h.data(), h.size());
  EXPECT_EQ(check.message, nullptr);

  // first_record at header_length: the walk doesn't start.
  put_le16(&h[IMAGE_FIRST_RECORD_AT], 96);
  put_le16(&h[96 - 4], 0xC000);
  balance(h, 96, 90);
  EXPECT_EQ(validate_image_bytes(h.data(), h.size()).version, IMAGE_VERSION_NONE);

  // Last record ending exactly at header_length is read.
  put_le16(&h[IMAGE_FIRST_RECORD_AT], 72);
  put_le16(&h[72 + RECORD_TAG_AT], RECORD_TAG_VERSION);
  put_le16(&h[72 + RECORD_VALUE_AT], 0x0A00);
  balance(h, 96, 90);
  check = validate_image_bytes(h.data(), h.size());
  EXPECT_EQ(check.message, nullptr);
  EXPECT_EQ(check.version, 0x0A00u);
}

TEST(Sums, HeaderAndBodyWordSums) {
  std::vector<uint8_t> bytes(0x101, 0);
  bytes[0] = 0xFF;
  bytes[1] = 0x01;
  EXPECT_EQ(header_byte_sum(bytes.data(), 2), 0);  // 0x100 wraps to 0
  bytes[2] = 0x01;
  EXPECT_EQ(header_byte_sum(bytes.data(), 3), 1);

  const uint8_t six[] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(body_word_sum(six, 6), 0x04030806u);
  EXPECT_EQ(body_word_sum(six, 0), 0u);
  EXPECT_EQ(body_word_sum(six, 1), 0x01u);
  EXPECT_EQ(body_word_sum(six, 3), 0x030201u);
  const uint8_t wrap[] = {0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0};
  EXPECT_EQ(body_word_sum(wrap, 8), 1u);
  // Words are read from the body's first byte, whatever its alignment.
  EXPECT_EQ(body_word_sum(six + 1, 4), 0x05040302u);
}

TEST(Sums, SixByteBodyPassesOnlyWithItsComplement) {
  ImagePlan plan;
  plan.body = {1, 2, 3, 4, 5, 6};
  std::vector<uint8_t> image = make_image(plan);
  EXPECT_EQ(get_le32(&image[IMAGE_BODY_SUM_AT]), 0xFBFCF7FAu);
  EXPECT_EQ(validate_image_bytes(image.data(), image.size()).message, nullptr);
}

struct TextCase {
  const char* input;
  const char* text;
};

TEST(Texts, DateCodes) {
  const TextCase cases[] = {
      {"07042000", "Jul 04,2000"}, {"12312000", "Dec 31,2000"}, {"01011999", "Jan 01,1999"},
      {"13012000", "N/A"},         {"ab012000", "N/A"},         {"00012000", "N/A"},
      {" 1xx2000", "Jan xx,2000"}, {"+9012000", "Sep 01,2000"}, {"-1012000", "N/A"},
      {"1a012000", "Jan 01,2000"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_date_code(c.input), c.text) << c.input;
}

TEST(Texts, SizesVersionsFolders) {
  EXPECT_EQ(format_size(0, 0), "0");
  EXPECT_EQ(format_size(0, 5), "0");
  EXPECT_EQ(format_size(999, 0), "999");
  EXPECT_EQ(format_size(1000, 0), "1,000");
  EXPECT_EQ(format_size(123456, 0), "123,456");
  EXPECT_EQ(format_size(1234567, 0), "1,234,567");
  EXPECT_EQ(format_size(4294967295u, 0), "4,294,967,295");
  EXPECT_EQ(format_size(1234, 8), "   1,234");
  EXPECT_EQ(format_size(1234, 3), "1,234");

  EXPECT_EQ(image_version_text(0x0105), "v1.05");
  EXPECT_EQ(image_version_text(0x0A00), "v10.00");
  EXPECT_EQ(image_version_text(IMAGE_VERSION_NONE), "N/A");

  EXPECT_EQ(folder_of("C:\\images\\fw.bin"), "C:\\images");
  EXPECT_EQ(folder_of("C:\\fw.bin"), "C:");
  EXPECT_EQ(folder_of("fw.bin"), "fw.bin");
}

// The local time carries its offset from UTC, whatever the zone.
TEST(Stamp, LocalTimeKnowsItsOffsetFromUtc) {
  const char* saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  for (auto [zone, offset] : {std::pair<const char*, int>{"UTC0", 0}, {"IST-5:30", 19800}, {"EST5", -18000}}) {
    setenv("TZ", zone, 1);
    tzset();
    const std::time_t now = std::time(nullptr);
    LocalTime t = local_time_now();
    EXPECT_EQ(t.utc_offset, offset) << zone;
    // The local fields less the offset are the time now (give or take the second that passed).
    std::tm fields{};
    fields.tm_year = t.year - 1900;
    fields.tm_mon = t.month - 1;
    fields.tm_mday = t.day;
    fields.tm_hour = t.hour;
    fields.tm_min = t.minute;
    fields.tm_sec = t.second;
    EXPECT_LE(std::llabs(static_cast<long long>(timegm(&fields) - t.utc_offset - now)), 2) << zone;
  }
  if (saved) setenv("TZ", before.c_str(), 1); else unsetenv("TZ");
  tzset();
}

TEST(Stamp, BitsAndOnlyOnImages) {
  const LocalTime at{2000, 6, 15, 10, 30, 45};
  EXPECT_EQ(stamp_value(at), 0x519EA7ADu);
  EXPECT_EQ(stamp_value(LocalTime{1980, 1, 1, 0, 0, 0}) >> 26, 0u);
  EXPECT_EQ(stamp_value(LocalTime{2043, 12, 31, 23, 59, 59}),
            63u << 26 | 12u << 22 | 31u << 17 | 23u << 12 | 59u << 6 | 59u);
  EXPECT_EQ(stamp_value(LocalTime{2044, 1, 1, 0, 0, 0}) >> 26, 0u);  // wraps after 64 years

  ImagePlan plan;
  std::vector<uint8_t> image = make_image(plan);
  std::vector<uint8_t> before = image;
  stamp_header(image.data(), image.size(), &at);
  const uint8_t expected[4] = {0xAD, 0xA7, 0x9E, 0x51};
  EXPECT_EQ(0, std::memcmp(&image[IMAGE_STAMP_AT], expected, 4));
  // Nothing but the stamp field changes.
  std::memcpy(&image[IMAGE_STAMP_AT], &before[IMAGE_STAMP_AT], 4);
  EXPECT_EQ(image, before);

  std::vector<uint8_t> other(64, 0x11);
  std::vector<uint8_t> kept = other;
  stamp_header(other.data(), other.size(), &at);
  EXPECT_EQ(other, kept);
  std::vector<uint8_t> short_image = {'R', 'O', 'Z', 'E', 0, 0};
  stamp_header(short_image.data(), short_image.size(), &at);  // too short to hold a stamp
  EXPECT_EQ(short_image.size(), 6u);
}

// load_image against files in a temporary folder, with the settings store there.
class LoadImage : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/daveridur-image-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    set_settings_folder((dir_ + "/settings").c_str());
  }
  void TearDown() override {
    set_settings_folder(nullptr);
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string write(const char* name, const std::vector<uint8_t>& bytes) {
    std::string path = dir_ + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
  }
  std::string last_dir() {
    char text[1024] = "";
    read_setting_text(SETTINGS_KEY, "LastDir", text, sizeof text);
    return text;
  }
  std::string dir_;
};

TEST_F(LoadImage, ShowsTextsAndSetsVersion) {
  ImagePlan plan;
  plan.version = 0x0105;
  plan.date_code = "07042000";
  plan.body = make_body(1000, 3);
  std::vector<uint8_t> bytes = make_image(plan);
  std::string path = write("fw.bin", bytes);
  ImageLoad load = load_image(path);
  EXPECT_EQ(load.ok, 1);
  EXPECT_EQ(load.version_text, "v1.05");
  EXPECT_EQ(load.date_text, "Jul 04,2000");
  EXPECT_EQ(load.size_text, "1,080");
  // What the batch will hold the file to.
  EXPECT_EQ(load.opened.path, path);
  EXPECT_EQ(load.opened.version, 0x0105u);
  EXPECT_EQ(load.opened.size, 1080u);
  EXPECT_EQ(load.opened.digest, sha256(bytes.data(), bytes.size()));
}

// The most a card can number is read; one byte more, or gigabytes, are
// refused from the file's size alone (sparse files: nothing to read).
TEST_F(LoadImage, SizeBoundBeforeReading) {
  std::string path = write("big.bin", {});
  ASSERT_EQ(truncate(path.c_str(), off_t{IMAGE_SIZE_MAX}), 0);
  std::vector<uint8_t> read;
  EXPECT_EQ(read_image_bytes(path, &read), nullptr);
  EXPECT_EQ(read.size(), size_t{IMAGE_SIZE_MAX});
  for (off_t size : {off_t{IMAGE_SIZE_MAX} + 1, off_t{3} << 30}) {
    ASSERT_EQ(truncate(path.c_str(), size), 0);
    EXPECT_STREQ(read_image_bytes(path, &read), MSG_TOO_LARGE);
    EXPECT_TRUE(read.empty());
    EXPECT_STREQ(load_image(path).message, MSG_TOO_LARGE);
  }
}

TEST_F(LoadImage, FailureLeavesVersionNoneAndStillStoresFolder) {
  ImagePlan plan;
  ASSERT_EQ(load_image(write("good.bin", make_image(plan))).ok, 1);

  plan.broken = Broken::body_sum;
  // Natively this names a file "x\bad.bin"; the folder is cut at the backslash.
  ImageLoad load = load_image(write("x\\bad.bin", make_image(plan)));
  EXPECT_EQ(load.ok, 0);
  EXPECT_STREQ(load.message, MSG_BAD_CHECKSUM);
  EXPECT_EQ(load.version_text, "");
  EXPECT_EQ(load.opened.version, IMAGE_VERSION_NONE);
  EXPECT_EQ(load.opened.size, 0u);
  EXPECT_EQ(last_dir(), dir_ + "/x");

  load = load_image(dir_ + "/missing.bin");
  EXPECT_STREQ(load.message, MSG_READ_ERROR);
  EXPECT_EQ(load.opened.path, dir_ + "/missing.bin");

  load = load_image(write("empty.bin", {}));
  EXPECT_STREQ(load.message, MSG_ILLEGAL_FORMAT);
}

// The one reader: the bytes and what they are when the file passes, the
// refusal and nothing else when it does not; two readings are one image
// only with the same size, digest and version.
TEST_F(LoadImage, CheckedReadAndTheSameImage) {
  ImagePlan plan;
  plan.version = 0x0105;
  std::vector<uint8_t> bytes = make_image(plan);
  ImageFile file;
  ASSERT_EQ(read_checked_image(write("fw.bin", bytes), &file), nullptr);
  EXPECT_EQ(file.bytes, bytes);
  EXPECT_EQ(file.check.version, 0x0105u);
  EXPECT_EQ(file.opened.path, dir_ + "/fw.bin");
  EXPECT_EQ(file.opened.size, bytes.size());
  EXPECT_EQ(file.opened.digest, sha256(bytes.data(), bytes.size()));
  const OpenedImage first = file.opened;
  EXPECT_TRUE(same_image(first, file.opened));

  plan.broken = Broken::body_sum;
  EXPECT_STREQ(read_checked_image(write("fw.bin", make_image(plan)), &file), MSG_BAD_CHECKSUM);
  EXPECT_TRUE(file.bytes.empty());
  EXPECT_EQ(file.opened.size, 0u);
  EXPECT_STREQ(read_checked_image(dir_ + "/none.bin", &file), MSG_READ_ERROR);

  OpenedImage other = first;
  other.digest[5] ^= 1;
  EXPECT_FALSE(same_image(first, other));
  other = first;
  other.size += 1;
  EXPECT_FALSE(same_image(first, other));
  other = first;
  other.version = 0x0106;
  EXPECT_FALSE(same_image(first, other));
  other = first;
  other.path = "elsewhere.bin";  // the same bytes under another name
  EXPECT_TRUE(same_image(first, other));
}

TEST_F(LoadImage, ReadImageFileReadsExactBytes) {
  std::vector<uint8_t> bytes = make_body(70000, 9);
  std::vector<uint8_t> read;
  ASSERT_EQ(read_image_file(write("raw", bytes), &read), 1);
  EXPECT_EQ(read, bytes);
  EXPECT_EQ(read_image_file(dir_ + "/none", &read), 0);
  EXPECT_TRUE(read.empty());
  EXPECT_EQ(read_image_file(dir_, &read), 0);  // a folder is no image
}

}  // namespace
