// Literal values against the reference interpreter: every expected value in
// these tables was produced by its ast.parse (UTF-8 with surrogatepass for
// str results, hex floats for exact comparison).
#include "syntax/literals.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace quorbin::syntax {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string unhex(std::string_view text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  return out;
}

std::filesystem::path data_file(const char* name) {
  return std::filesystem::path(__FILE__).parent_path() / "data" / name;
}

// ---------------------------------------------------------------- numbers

struct NumberCase {
  const char* token;
  ConstKind kind;
  int64_t i;
  double f;        // Float value or imaginary part
  unsigned base;   // BigInt
  const char* digits;
};

const NumberCase kNumbers[] = {
    {"0", ConstKind::Int, 0, 0.0, 0, nullptr},
    {"00", ConstKind::Int, 0, 0.0, 0, nullptr},
    {"0_0", ConstKind::Int, 0, 0.0, 0, nullptr},
    {"000", ConstKind::Int, 0, 0.0, 0, nullptr},
    {"7", ConstKind::Int, 7, 0.0, 0, nullptr},
    {"1_000", ConstKind::Int, 1000, 0.0, 0, nullptr},
    {"9223372036854775807", ConstKind::Int, 9223372036854775807, 0.0, 0, nullptr},
    {"9223372036854775808", ConstKind::BigInt, 0, 0.0, 10, "9223372036854775808"},
    {"18446744073709551616", ConstKind::BigInt, 0, 0.0, 10, "18446744073709551616"},
    {"1000000000000000000000000000000", ConstKind::BigInt, 0, 0.0, 10, "1000000000000000000000000000000"},
    {"0x7fffffffffffffff", ConstKind::Int, 9223372036854775807, 0.0, 0, nullptr},
    {"0x8000000000000000", ConstKind::BigInt, 0, 0.0, 16, "8000000000000000"},
    {"0xFF_FF", ConstKind::Int, 65535, 0.0, 0, nullptr},
    {"0XdeadBEEF", ConstKind::Int, 3735928559, 0.0, 0, nullptr},
    {"0x_f", ConstKind::Int, 15, 0.0, 0, nullptr},
    {"0x0000000000000000000000001", ConstKind::Int, 1, 0.0, 0, nullptr},
    {"0o17", ConstKind::Int, 15, 0.0, 0, nullptr},
    {"0O777", ConstKind::Int, 511, 0.0, 0, nullptr},
    {"0o_7", ConstKind::Int, 7, 0.0, 0, nullptr},
    {"0o1000000000000000000000", ConstKind::BigInt, 0, 0.0, 8, "1000000000000000000000"},
    {"0b1010", ConstKind::Int, 10, 0.0, 0, nullptr},
    {"0B1_1", ConstKind::Int, 3, 0.0, 0, nullptr},
    {"0b_1", ConstKind::Int, 1, 0.0, 0, nullptr},
    {"0b111111111111111111111111111111111111111111111111111111111111111", ConstKind::Int, 9223372036854775807, 0.0, 0, nullptr},
    {"0b1111111111111111111111111111111111111111111111111111111111111111", ConstKind::BigInt, 0, 0.0, 2, "1111111111111111111111111111111111111111111111111111111111111111"},
    {"0xffffffffffffffffffffffffffffffffffffffff", ConstKind::BigInt, 0, 0.0, 16, "ffffffffffffffffffffffffffffffffffffffff"},
    {"1.5", ConstKind::Float, 0, 0x1.8000000000000p+0, 0, nullptr},
    {"1.", ConstKind::Float, 0, 0x1.0000000000000p+0, 0, nullptr},
    {"1_0.", ConstKind::Float, 0, 0x1.4000000000000p+3, 0, nullptr},
    {"1_0.5_5e1_0", ConstKind::Float, 0, 0x1.8904a3f000000p+36, 0, nullptr},
    {".5", ConstKind::Float, 0, 0x1.0000000000000p-1, 0, nullptr},
    {"0.1", ConstKind::Float, 0, 0x1.999999999999ap-4, 0, nullptr},
    {"1e10", ConstKind::Float, 0, 0x1.2a05f20000000p+33, 0, nullptr},
    {"1E-5", ConstKind::Float, 0, 0x1.4f8b588e368f1p-17, 0, nullptr},
    {"1e+5", ConstKind::Float, 0, 0x1.86a0000000000p+16, 0, nullptr},
    {"00.5", ConstKind::Float, 0, 0x1.0000000000000p-1, 0, nullptr},
    {"0777.5", ConstKind::Float, 0, 0x1.84c0000000000p+9, 0, nullptr},
    {"0777e1", ConstKind::Float, 0, 0x1.e5a0000000000p+12, 0, nullptr},
    {"09.5", ConstKind::Float, 0, 0x1.3000000000000p+3, 0, nullptr},
    {"1e400", ConstKind::Float, 0, kInf, 0, nullptr},
    {"1e-400", ConstKind::Float, 0, 0x0.0p+0, 0, nullptr},
    {"5e-324", ConstKind::Float, 0, 0x0.0000000000001p-1022, 0, nullptr},
    {"2.4703282292062328e-324", ConstKind::Float, 0, 0x0.0000000000001p-1022, 0, nullptr},
    {"2.4703282292062327e-324", ConstKind::Float, 0, 0x0.0p+0, 0, nullptr},
    {"1.7976931348623157e308", ConstKind::Float, 0, 0x1.fffffffffffffp+1023, 0, nullptr},
    {"1.7976931348623158e308", ConstKind::Float, 0, 0x1.fffffffffffffp+1023, 0, nullptr},
    {"1.797693134862315807e308", ConstKind::Float, 0, 0x1.fffffffffffffp+1023, 0, nullptr},
    {"1.7976931348623159e308", ConstKind::Float, 0, kInf, 0, nullptr},
    {"2.2250738585072011e-308", ConstKind::Float, 0, 0x0.fffffffffffffp-1022, 0, nullptr},
    {"0e999999999999999999999", ConstKind::Float, 0, 0x0.0p+0, 0, nullptr},
    {"0.0e-99999", ConstKind::Float, 0, 0x0.0p+0, 0, nullptr},
    {"1111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111.0", ConstKind::Float, 0, kInf, 0, nullptr},
    {"0.00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000001", ConstKind::Float, 0, 0x0.0p+0, 0, nullptr},
    {"0.0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000001e600", ConstKind::Float, 0, 0x1.31cfd3999f7b0p+993, 0, nullptr},
    {"1111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111111e-700", ConstKind::Float, 0, 0x1.30c8e02a46688p-1000, 0, nullptr},
    {"9007199254740993.0", ConstKind::Float, 0, 0x1.0000000000000p+53, 0, nullptr},
    {"9007199254740993e0", ConstKind::Float, 0, 0x1.0000000000000p+53, 0, nullptr},
    {"0.1000000000000000055511151231257827021181583404541015625", ConstKind::Float, 0, 0x1.999999999999ap-4, 0, nullptr},
    {"0.10000000000000000555111512312578270211815834045410156251", ConstKind::Float, 0, 0x1.999999999999ap-4, 0, nullptr},
    {"1e99999999999999999999", ConstKind::Float, 0, kInf, 0, nullptr},
    {"1e-99999999999999999999", ConstKind::Float, 0, 0x0.0p+0, 0, nullptr},
    {"123456789012345678901234567890e-10", ConstKind::Float, 0, 0x1.56a95319d63e1p+63, 0, nullptr},
    {"1j", ConstKind::Complex, 0, 0x1.0000000000000p+0, 0, nullptr},
    {"1J", ConstKind::Complex, 0, 0x1.0000000000000p+0, 0, nullptr},
    {"1.5e3J", ConstKind::Complex, 0, 0x1.7700000000000p+10, 0, nullptr},
    {"0j", ConstKind::Complex, 0, 0x0.0p+0, 0, nullptr},
    {"00j", ConstKind::Complex, 0, 0x0.0p+0, 0, nullptr},
    {"1_0j", ConstKind::Complex, 0, 0x1.4000000000000p+3, 0, nullptr},
    {"0777j", ConstKind::Complex, 0, 0x1.8480000000000p+9, 0, nullptr},
    {"1e400j", ConstKind::Complex, 0, kInf, 0, nullptr},
    {"1e-400j", ConstKind::Complex, 0, 0x0.0p+0, 0, nullptr},
    {".5j", ConstKind::Complex, 0, 0x1.0000000000000p-1, 0, nullptr},
    {"1.j", ConstKind::Complex, 0, 0x1.0000000000000p+0, 0, nullptr},
    {"9223372036854775808j", ConstKind::Complex, 0, 0x1.0000000000000p+63, 0, nullptr},
};

TEST(NumberConstant, MatchesInterpreter) {
  for (const auto& c : kNumbers) {
    SCOPED_TRACE(c.token);
    Arena arena;
    const Const* v = number_constant(c.token, arena);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(static_cast<int>(v->kind), static_cast<int>(c.kind));
    switch (c.kind) {
      case ConstKind::Int: EXPECT_EQ(v->i, c.i); break;
      case ConstKind::BigInt:
        EXPECT_EQ(v->base, c.base);
        EXPECT_EQ(v->text->view(), c.digits);
        break;
      default:
        // Bit equality: also tells 0.0 from -0.0 and exact rounding.
        EXPECT_EQ(std::memcmp(&v->f, &c.f, sizeof(double)), 0) << v->f << " != " << c.f;
    }
  }
}

TEST(NumberConstant, HugeIntegersKeepTheirDigits) {
  // Far beyond the decimal conversion limit: the digits must survive intact
  // for every base so the converter can hand them to int(text, base).
  const struct {
    const char* prefix;
    char digit;
    unsigned base;
  } cases[] = {{"0x", 'f', 16}, {"0o", '7', 8}, {"0b", '1', 2}, {"", '9', 10}};
  for (const auto& c : cases) {
    std::string digits(5000, c.digit);
    std::string token = std::string(c.prefix) + digits.substr(0, 2500) + "_" + digits.substr(2500);
    Arena arena;
    const Const* v = number_constant(token, arena);
    ASSERT_EQ(v->kind, ConstKind::BigInt) << c.prefix;
    EXPECT_EQ(v->base, c.base);
    EXPECT_EQ(v->text->view(), digits);
  }
}

// ---------------------------------------------------------------- string bodies

struct StringCase {
  const char* body;
  bool raw;
  bool bytes;
  const char* value_hex;  // null when the interpreter refuses the literal
  const char* error;
  uint32_t error_at;      // offset in the body: the escape's backslash, or the offending byte
};

const StringCase kStrings[] = {
    {"", false, false, "", nullptr, 0},
    {"abc", false, false, "616263", nullptr, 0},
    {"\\\\ \\' \\\" \\a \\b \\f \\n \\r \\t \\v", false, false, "5c2027202220072008200c200a200d2009200b", nullptr, 0},
    {"\\0", false, false, "00", nullptr, 0},
    {"\\12", false, false, "0a", nullptr, 0},
    {"\\101", false, false, "41", nullptr, 0},
    {"\\1010", false, false, "4130", nullptr, 0},
    {"\\777", false, false, "c7bf", nullptr, 0},
    {"\\400", false, false, "c480", nullptr, 0},
    {"\\8", false, false, "5c38", nullptr, 0},
    {"\\9", false, false, "5c39", nullptr, 0},
    {"\\d", false, false, "5c64", nullptr, 0},
    {"\\q", false, false, "5c71", nullptr, 0},
    {"\\u00e9", false, false, "c3a9", nullptr, 0},
    {"\\U0001F600", false, false, "f09f9880", nullptr, 0},
    {"\\U0010FFFF", false, false, "f48fbfbf", nullptr, 0},
    {"\\x41\\xff\\xFF", false, false, "41c3bfc3bf", nullptr, 0},
    {"\\ud800", false, false, "eda080", nullptr, 0},
    {"\\ud83d\\ude00", false, false, "eda0bdedb880", nullptr, 0},
    {"\\udfff", false, false, "edbfbf", nullptr, 0},
    {"\303\251\344\270\255\360\237\230\200", false, false, "c3a9e4b8adf09f9880", nullptr, 0},
    {"a\\\303\251", false, false, "615cc3a9", nullptr, 0},
    {"\\\360\237\230\200x", false, false, "5cf09f988078", nullptr, 0},
    {"a\\\012b", false, false, "6162", nullptr, 0},
    {"a\\\015\012b", false, false, "6162", nullptr, 0},
    {"a\\\015b", false, false, "6162", nullptr, 0},
    {"a\015\012b", false, false, "610a62", nullptr, 0},
    {"a\015b", false, false, "610a62", nullptr, 0},
    {"a\015\015\012b", false, false, "610a0a62", nullptr, 0},
    {"a\012\015b", false, false, "610a0a62", nullptr, 0},
    {"\\t\015\012x", false, false, "090a78", nullptr, 0},
    {"\\t\015x", false, false, "090a78", nullptr, 0},
    {"\\\015", false, false, "", nullptr, 0},
    {"\\N{LATIN SMALL LETTER A}", false, false, "61", nullptr, 0},
    {"\\N{latin small letter a}", false, false, "61", nullptr, 0},
    {"\\N{LaTiN sMaLl LeTtEr A}", false, false, "61", nullptr, 0},
    {"\\N{LINE FEED}", false, false, "0a", nullptr, 0},
    {"\\N{line feed}", false, false, "0a", nullptr, 0},
    {"\\N{LF}", false, false, "0a", nullptr, 0},
    {"\\N{NULL}", false, false, "00", nullptr, 0},
    {"\\N{BYTE ORDER MARK}", false, false, "efbbbf", nullptr, 0},
    {"\\N{LATIN CAPITAL LETTER GHA}", false, false, "c6a2", nullptr, 0},
    {"\\N{SPACE}x", false, false, "2078", nullptr, 0},
    {"\\N{HANGUL SYLLABLE GA}", false, false, "eab080", nullptr, 0},
    {"\\N{HANGUL SYLLABLE GAGG}", false, false, "eab082", nullptr, 0},
    {"\\N{HANGUL SYLLABLE GGAG}", false, false, "eab98d", nullptr, 0},
    {"\\N{HANGUL SYLLABLE A}", false, false, "ec9584", nullptr, 0},
    {"\\N{HANGUL SYLLABLE HIH}", false, false, "ed9ea3", nullptr, 0},
    {"\\N{CJK UNIFIED IDEOGRAPH-4E00}", false, false, "e4b880", nullptr, 0},
    {"\\N{CJK UNIFIED IDEOGRAPH-04E00}", false, false, "e4b880", nullptr, 0},
    {"\\N{CJK UNIFIED IDEOGRAPH-323AF}", false, false, "f0b28eaf", nullptr, 0},
    {"\\N{CJK UNIFIED IDEOGRAPH-20000}", false, false, "f0a08080", nullptr, 0},
    {"\\N{cjk compatibility ideograph-f900}", false, false, "efa480", nullptr, 0},
    {"\\N{TANGUT COMPONENT-001}", false, false, "f098a080", nullptr, 0},
    {"\\N{NUSHU CHARACTER-1B170}", false, false, "f09b85b0", nullptr, 0},
    {"\\N{KHITAN SMALL SCRIPT CHARACTER-18B00}", false, false, "f098ac80", nullptr, 0},
    {"\\N{EGYPTIAN HIEROGLYPH A001}", false, false, "f0938080", nullptr, 0},
    {"\\N{HANGUL CHOSEONG KIYEOK}", false, false, "e18480", nullptr, 0},
    {"\\N{}}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-2: malformed \\N character escape", 0},
    {"\\x4", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-2: truncated \\xXX escape", 0},
    {"\\x", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-1: truncated \\xXX escape", 0},
    {"\\xg0", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-1: truncated \\xXX escape", 0},
    {"abc\\x4", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 3-5: truncated \\xXX escape", 3},
    {"\303\251\\x4", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 10-12: truncated \\xXX escape", 2},
    {"\\\303\251\\x4", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 16-18: truncated \\xXX escape", 3},
    {"a\015\012\\x4", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 2-4: truncated \\xXX escape", 3},
    {"\\u12", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-3: truncated \\uXXXX escape", 0},
    {"\\u", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-1: truncated \\uXXXX escape", 0},
    {"\\U0011ffff", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-9: illegal Unicode character", 0},
    {"\\U00110000", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-9: illegal Unicode character", 0},
    {"\\UFFFFFFFF", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-9: illegal Unicode character", 0},
    {"\\U0001F60", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-8: truncated \\UXXXXXXXX escape", 0},
    {"\\N", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-1: malformed \\N character escape", 0},
    {"\\Nx", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-1: malformed \\N character escape", 0},
    {"\\N{}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-2: malformed \\N character escape", 0},
    {"\\N{LATIN", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-7: malformed \\N character escape", 0},
    {"\\N{LATIN SMALL LETTER A", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-22: malformed \\N character escape", 0},
    {"\\N{\303\251}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-13: unknown Unicode character name", 0},
    {"\\N{NOPE}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-7: unknown Unicode character name", 0},
    {"\\N{ LATIN SMALL LETTER A}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-24: unknown Unicode character name", 0},
    {"xy\\N{LATIN_SMALL_LETTER_A}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 2-25: unknown Unicode character name", 2},
    {"\\N{LATIN CAPITAL LETTER A WITH MACRON AND GRAVE}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-47: unknown Unicode character name", 0},
    {"\\N{TANGUT IDEOGRAPH-17000}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-25: unknown Unicode character name", 0},
    {"\\N{tangut ideograph-17000}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-25: unknown Unicode character name", 0},
    {"\\N{cjk unified ideograph-4E00}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-29: unknown Unicode character name", 0},
    {"\\N{CJK UNIFIED IDEOGRAPH-4e00}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-29: unknown Unicode character name", 0},
    {"\\N{CJK UNIFIED IDEOGRAPH-4DC0}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-29: unknown Unicode character name", 0},
    {"\\N{CJK UNIFIED IDEOGRAPH-4E0}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-28: unknown Unicode character name", 0},
    {"\\N{CJK UNIFIED IDEOGRAPH-004E00}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-31: unknown Unicode character name", 0},
    {"\\N{hangul syllable ga}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-21: unknown Unicode character name", 0},
    {"\\N{Hangul Syllable GA}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-21: unknown Unicode character name", 0},
    {"\\N{HANGUL SYLLABLE }", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-19: unknown Unicode character name", 0},
    {"\\N{HANGUL SYLLABLE GAX}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-22: unknown Unicode character name", 0},
    {"\\N{HANGUL SYLLABLE G}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-20: unknown Unicode character name", 0},
    {"\\N{LATIN SMALL LETTER A}\\x4", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 24-26: truncated \\xXX escape", 24},
    {"\\N{LINE FEED (LF)}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-17: unknown Unicode character name", 0},
    {"\\n", true, false, "5c6e", nullptr, 0},
    {"a\\\015\012b", true, false, "615c0a62", nullptr, 0},
    {"a\015\012b", true, false, "610a62", nullptr, 0},
    {"a\015b", true, false, "610a62", nullptr, 0},
    {"\\N{nope}\\x4\\u12", true, false, "5c4e7b6e6f70657d5c78345c753132", nullptr, 0},
    {"\303\251\\\303\251", true, false, "c3a95cc3a9", nullptr, 0},
    {"abc", false, true, "616263", nullptr, 0},
    {"\\x41\\xff\\x00", false, true, "41ff00", nullptr, 0},
    {"\\777", false, true, "ff", nullptr, 0},
    {"\\400", false, true, "00", nullptr, 0},
    {"\\477", false, true, "3f", nullptr, 0},
    {"\\0\\00\\1234", false, true, "00005334", nullptr, 0},
    {"\\d", false, true, "5c64", nullptr, 0},
    {"\\N{LINE FEED}", false, true, "5c4e7b4c494e4520464545447d", nullptr, 0},
    {"\\u1234\\U00012345", false, true, "5c75313233345c553030303132333435", nullptr, 0},
    {"\\\\ \\' \\\" \\a \\b \\f \\n \\r \\t \\v", false, true, "5c2027202220072008200c200a200d2009200b", nullptr, 0},
    {"a\\\015\012b", false, true, "6162", nullptr, 0},
    {"a\\\015b", false, true, "6162", nullptr, 0},
    {"a\015\012b", false, true, "610a62", nullptr, 0},
    {"a\015b", false, true, "610a62", nullptr, 0},
    {"\177\001", false, true, "7f01", nullptr, 0},
    {"\\x4", false, true, nullptr, "(value error) invalid \\x escape at position 0", 0},
    {"\\x", false, true, nullptr, "(value error) invalid \\x escape at position 0", 0},
    {"ab\\xg0", false, true, nullptr, "(value error) invalid \\x escape at position 2", 2},
    {"ab\015\012\\x4", false, true, nullptr, "(value error) invalid \\x escape at position 3", 4},
    {"\303\251", false, true, nullptr, "bytes can only contain ASCII literal characters", 0},
    {"ab\303\251", false, true, nullptr, "bytes can only contain ASCII literal characters", 2},
    {"\\x4", true, true, "5c7834", nullptr, 0},
    {"\\n\\N{x}", true, true, "5c6e5c4e7b787d", nullptr, 0},
    {"a\303\251", true, true, nullptr, "bytes can only contain ASCII literal characters", 1},
    {"a\015\012b", true, true, "610a62", nullptr, 0},
    // Backslashes inside a \N{...} name, counted as the decoder counts them.
    {"\\N{\015\\\303\251}N", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-20: unknown Unicode character name", 0},
    {"\\N{a\\\\\303\251}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-16: unknown Unicode character name", 0},
    {"\\N{\\\303\251", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-18: malformed \\N character escape", 0},
    {"\\N{\\\\\\\303\251}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 0-21: unknown Unicode character name", 0},
    {"x\\N{\303\251\\}", false, false, nullptr, "(unicode error) 'unicodeescape' codec can't decode bytes in position 1-15: unknown Unicode character name", 1},
    // Cannot come from a tokenized file (it refuses malformed UTF-8), but a
    // body given directly must not slip invalid text into a str constant.
    {"a\355\240\200", false, false, nullptr, "invalid UTF-8 in string literal", 1},
    {"\\t\300\200", false, false, nullptr, "invalid UTF-8 in string literal", 2},
    {"\\N{\377}", false, false, nullptr, "invalid UTF-8 in string literal", 0},
    {"\342\202", true, false, nullptr, "invalid UTF-8 in string literal", 0},
};

TEST(DecodeStringBody, MatchesInterpreter) {
  constexpr uint32_t kBodyOffset = 1000;
  for (const auto& c : kStrings) {
    SCOPED_TRACE(testing::Message() << "body=" << hex(c.body) << " raw=" << c.raw << " bytes=" << c.bytes);
    std::string out = "left over";
    LiteralError error;
    bool ok = decode_string_body(c.body, kBodyOffset, c.raw, c.bytes, out, error);
    if (c.value_hex) {
      ASSERT_TRUE(ok) << error.message;
      EXPECT_EQ(hex(out), c.value_hex);
    } else {
      ASSERT_FALSE(ok) << hex(out);
      EXPECT_EQ(error.message, c.error);
      EXPECT_EQ(error.offset, kBodyOffset + c.error_at);
    }
  }
}

// Every character name of the reference database, and no other, resolves in a
// \N{...} escape to its own code point. The data file holds a digest of the
// reference's names per 256-code-point block; here the same digest is made of
// the ICU names that the decoder accepts.
TEST(DecodeStringBody, CharacterNamesMatchInterpreter) {
  std::ifstream in(data_file("unicode_names.txt"));
  ASSERT_TRUE(in) << data_file("unicode_names.txt");
  std::map<uint32_t, std::pair<unsigned, uint64_t>> expected;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string block, digest;
    unsigned count;
    fields >> block >> count >> digest;
    expected[std::stoul(block, nullptr, 16)] = {count, std::stoull(digest, nullptr, 16)};
  }
  ASSERT_GT(expected.size(), 500u);

  std::map<uint32_t, std::pair<unsigned, uint64_t>> actual;
  unsigned failures = 0;
  for (UChar32 cp = 0; cp <= 0x10FFFF; ++cp) {
    char name[256];
    UErrorCode status = U_ZERO_ERROR;
    int32_t len = u_charName(cp, U_UNICODE_CHAR_NAME, name, sizeof name, &status);
    if (U_FAILURE(status) || len <= 0) continue;
    std::string_view n(name, static_cast<size_t>(len));
    std::string out, want;
    LiteralError error;
    if (!decode_string_body("\\N{" + std::string(n) + "}", 0, false, false, out, error)) continue;
    char32_t got = 0;
    unsigned used = decode_utf8(out, 0, got);
    if (cp >= 0xD800 && cp <= 0xDFFF) used = 3, got = static_cast<char32_t>(cp);
    if (used != out.size() || got != static_cast<char32_t>(cp)) {
      if (++failures < 10) ADD_FAILURE() << n << " resolved to " << hex(out);
      continue;
    }
    // Any letter case, except for the algorithmic Hangul and ideograph names.
    std::string lower(n);
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    bool algorithmic = n.rfind("HANGUL SYLLABLE ", 0) == 0 || n.rfind("CJK UNIFIED IDEOGRAPH-", 0) == 0;
    std::string lower_out;
    bool lower_ok = decode_string_body("\\N{" + lower + "}", 0, false, false, lower_out, error);
    if (lower_ok != !algorithmic || (lower_ok && lower_out != out)) {
      if (++failures < 10) ADD_FAILURE() << "lower case of " << n << ": accepted=" << lower_ok;
    }
    char line[300];
    int line_len = std::snprintf(line, sizeof line, "%06X:%.*s\n", static_cast<unsigned>(cp), len, name);
    auto& [count, h] = actual.try_emplace(static_cast<uint32_t>(cp) >> 8, 0u, 0xCBF29CE484222325ull).first->second;
    for (int k = 0; k < line_len; ++k) {
      h ^= static_cast<unsigned char>(line[k]);
      h *= 0x100000001B3ull;
    }
    ++count;
  }
  for (const auto& [block, want] : expected) {
    auto it = actual.find(block);
    if (it == actual.end()) {
      ADD_FAILURE() << "block " << std::hex << block << ": no names accepted";
    } else if (it->second != want) {
      ADD_FAILURE() << "block " << std::hex << block << ": " << std::dec << it->second.first << " names accepted, "
                    << want.first << " expected, or names differ";
    }
  }
  for (const auto& [block, got] : actual) {
    if (!expected.count(block)) ADD_FAILURE() << "block " << std::hex << block << ": names the reference lacks";
  }
}

TEST(DecodeStringBody, NameAliasesResolve) {
  // A sample of each alias type; the table itself is generated from the
  // reference database.
  const struct {
    const char* name;
    const char* utf8_hex;
  } cases[] = {
      {"NULL", "00"},          {"nul", "00"},    {"LINE FEED", "0a"},       {"NEW LINE", "0a"},
      {"EOL", "0a"},           {"Lf", "0a"},     {"DELETE", "7f"},          {"NBSP", "c2a0"},
      {"BYTE ORDER MARK", "efbbbf"},            {"BOM", "efbbbf"},         {"ZWNBSP", "efbbbf"},
      {"ZWJ", "e2808d"},       {"VS256", "f3a087af"},                      {"PADDING CHARACTER", "c280"},
      {"LATIN CAPITAL LETTER GHA", "c6a2"},     {"latin small letter gha", "c6a3"},
      {"LAO LETTER FO FON", "e0ba9d"},          {"kannada letter llla", "e0b39e"},
      {"BYZANTINE MUSICAL SYMBOL FTHORA SKLIRON CHROMA VASIS", "f09d8385"},
  };
  for (const auto& c : cases) {
    std::string out;
    LiteralError error;
    ASSERT_TRUE(decode_string_body(std::string("\\N{") + c.name + "}", 0, false, false, out, error))
        << c.name << ": " << error.message;
    EXPECT_EQ(hex(out), c.utf8_hex) << c.name;
  }
}

TEST(DecodeStringBody, LoneSurrogatesForEveryEscape) {
  // Each surrogate code point comes out as its own three-byte sequence.
  for (char32_t cp = 0xD800; cp <= 0xDFFF; ++cp) {
    char body[16];
    std::snprintf(body, sizeof body, "\\u%04x", static_cast<unsigned>(cp));
    std::string out;
    LiteralError error;
    ASSERT_TRUE(decode_string_body(body, 0, false, false, out, error));
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0xED);
    EXPECT_EQ(((static_cast<unsigned char>(out[1]) & 0x3F) << 6 | (static_cast<unsigned char>(out[2]) & 0x3F)) | 0xD000,
              static_cast<unsigned>(cp));
  }
}

// ---------------------------------------------------------------- identifiers

// The data file gives str.isidentifier's verdict for every code point as runs:
// class 3 may start an identifier, class 1 only continue one.
TEST(Identifiers, AgreeWithInterpreterForEveryCodePoint) {
  std::ifstream in(data_file("identifier_classes.txt"));
  ASSERT_TRUE(in) << data_file("identifier_classes.txt");
  std::vector<std::pair<char32_t, int>> runs;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string first;
    int cls;
    fields >> first >> cls;
    runs.emplace_back(static_cast<char32_t>(std::stoul(first, nullptr, 16)), cls);
  }
  ASSERT_GT(runs.size(), 1000u);
  runs.emplace_back(0x110000, 0);
  unsigned failures = 0;
  for (size_t r = 0; r + 1 < runs.size(); ++r) {
    for (char32_t c = runs[r].first; c < runs[r + 1].first; ++c) {
      const bool start = runs[r].second == 3, cont = runs[r].second != 0;
      if (is_identifier_start(c) != start || is_identifier_continue(c) != cont) {
        if (++failures <= 20) {
          ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(c) << ": start " << is_identifier_start(c)
                        << " continue " << is_identifier_continue(c) << ", expected class " << runs[r].second;
        }
      }
    }
  }
  EXPECT_EQ(failures, 0u);
}

TEST(Identifiers, NormalizeLikeInterpreter) {
  const struct {
    const char* in_hex;
    const char* out_hex;
  } cases[] = {
      {"616263", "616263"},                                // abc
      {"5f5f696e69745f5f", "5f5f696e69745f5f"},            // __init__
      {"efac8178", "666978"},                              // U+FB01 x -> fix
      {"e2848c", "48"},                                    // U+210C -> H
      {"e284ab", "c385"},                                  // ANGSTROM SIGN -> U+00C5
      {"c385", "c385"},                                    // already composed
      {"c2b5", "cebc"},                                    // MICRO SIGN -> GREEK SMALL LETTER MU
      {"efbd98efbd99", "7879"},                            // fullwidth xy -> xy
      {"65cc81", "c3a9"},                                  // e + COMBINING ACUTE -> U+00E9
      {"c785", "44c5be"},                                  // U+01C5 -> D U+017E
      {"61c2b762", "61c2b762"},                            // MIDDLE DOT stays
      {"efbdb6", "e382ab"},                                // halfwidth KA -> KA
      {"e285a8", "4958"},                                  // ROMAN NUMERAL NINE -> IX
      {"e18480e185a1", "eab080"},                          // conjoining jamo -> U+AC00
      {"f09d9498f09d94abf09d94a6", "556e69"},              // mathematical fraktur -> Uni
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex(normalize_identifier(unhex(c.in_hex))), c.out_hex) << c.in_hex;
  }
}

// ---------------------------------------------------------------- UTF-8

TEST(DecodeUtf8, StrictDecoding) {
  const struct {
    const char* bytes_hex;
    unsigned len;     // 0: invalid
    char32_t value;
  } cases[] = {
      {"41", 1, 0x41},           {"7f", 1, 0x7F},           {"c280", 2, 0x80},         {"dfbf", 2, 0x7FF},
      {"e0a080", 3, 0x800},      {"ed9fbf", 3, 0xD7FF},     {"ee8080", 3, 0xE000},     {"efbfbf", 3, 0xFFFF},
      {"f0908080", 4, 0x10000},  {"f48fbfbf", 4, 0x10FFFF}, {"e282ac41", 3, 0x20AC},
      {"80", 0, 0},              {"bf", 0, 0},              {"c0af", 0, 0},            {"c180", 0, 0},   // overlong
      {"e08080", 0, 0},          {"e09fbf", 0, 0},          {"f08f8080", 0, 0},        {"f0808080", 0, 0},
      {"eda080", 0, 0},          {"edbfbf", 0, 0},                                                      // surrogates
      {"f4908080", 0, 0},        {"f5808080", 0, 0},        {"ff", 0, 0},              {"fe", 0, 0},    // > U+10FFFF
      {"c2", 0, 0},              {"e282", 0, 0},            {"f09080", 0, 0},                           // truncated
      {"c241", 0, 0},            {"e228a1", 0, 0},          {"e282c0", 0, 0},          {"f0908041", 0, 0},
  };
  for (const auto& c : cases) {
    std::string bytes = unhex(c.bytes_hex);
    char32_t out = 0xFFFFFFFF;
    EXPECT_EQ(decode_utf8(bytes, 0, out), c.len) << c.bytes_hex;
    if (c.len) EXPECT_EQ(out, c.value) << c.bytes_hex;
    // The same bytes behind a prefix decode the same at their offset.
    std::string shifted = "ab" + bytes;
    EXPECT_EQ(decode_utf8(shifted, 2, out), c.len) << c.bytes_hex;
  }
  char32_t out;
  EXPECT_EQ(decode_utf8("abc", 3, out), 0u);
  EXPECT_EQ(decode_utf8("", 0, out), 0u);
}

TEST(DecodeUtf8, RoundTripsEveryScalarValue) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    char body[16];
    std::snprintf(body, sizeof body, "\\U%08x", static_cast<unsigned>(cp));
    std::string out;
    LiteralError error;
    ASSERT_TRUE(decode_string_body(body, 0, false, false, out, error));
    char32_t back = 0;
    ASSERT_EQ(decode_utf8(out, 0, back), out.size()) << std::hex << static_cast<unsigned>(cp);
    ASSERT_EQ(back, cp);
  }
}

}  // namespace
}  // namespace quorbin::syntax
