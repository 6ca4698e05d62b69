#pragma once

// The byte stream that the staging reader (velquor-fusion-stage) writes to its standard output
// and that the source connection reads. Integers are little-endian; a string is a 32-bit length
// followed by that many UTF-8 bytes. Every record starts with one tag byte.
//
//   velquor-fusion-stage --list FILE
//     'T' name, u32 row count, u16 column count, then per column: name, u8 Jet type
//     ... one 'T' per user table, then 'Z'
//   velquor-fusion-stage --table FILE NAME
//     'H' u16 column count, then per column: name, u8 Jet type; then u32 recorded row count
//     'R' u32 length, then that many bytes: per column one value, a u8 value tag followed by
//         its payload
//     'Z' u32 rows sent
//   On a failure it can describe: 'X' message, and exit status 2.

#include <cstdint>

namespace vf::staging {

enum RecordTag : char {
    TableRecord = 'T',
    HeaderRecord = 'H',
    RowRecord = 'R',
    EndRecord = 'Z',
    ErrorRecord = 'X',
};

enum ValueTag : std::uint8_t {
    NullValue = 0,
    IntegerValue = 1,  // i64
    DoubleValue = 2,   // f64
    TextValue = 3,     // string
    BinaryValue = 4,   // u32 length, bytes
    OleDateValue = 5,  // f64, days since 30 December 1899
    CurrencyValue = 6, // i64, ten-thousandths
    BooleanValue = 7,  // u8
};

// Jet column types, as libmdb numbers them.
enum JetType : std::uint8_t {
    JetBoolean = 0x01,
    JetByte = 0x02,
    JetInteger = 0x03,
    JetLong = 0x04,
    JetCurrency = 0x05,
    JetSingle = 0x06,
    JetDouble = 0x07,
    JetDateTime = 0x08,
    JetBinary = 0x09,
    JetText = 0x0a,
    JetOle = 0x0b,
    JetMemo = 0x0c,
    JetGuid = 0x0f,
    JetNumeric = 0x10,
    JetComplex = 0x12,
};

constexpr int ErrorExitStatus = 2;

} // namespace vf::staging
