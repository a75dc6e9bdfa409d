// The spreadsheet's callback interface as the add-in and the analytics
// library see it: the 16-byte value record, the array of doubles, the
// function numbers we call and the host-provided callback Excel4v.
#pragma once

#include <cstddef>
#include <cstdint>

// Value types of an XLOPER (only those the system exchanges).
enum : uint16_t {
  xltypeNum = 0x0001,
  xltypeStr = 0x0002,
  xltypeErr = 0x0010,
  xltypeInt = 0x0800,
};

// Error codes carried by an xltypeErr value.
enum : int16_t {
  xlerrValue = 15,
};

// Spreadsheet functions the add-in calls back.
enum : int {
  xlfSetName = 88,
  xlfRegister = 149,
  xlFree = 0x4000,
  xlCoerce = 0x4002,
  xlGetName = 0x4009,
};

// Results of Excel4v. Their values are the host's own choice.
enum : int {
  xlretSuccess = 0,
  xlretInvXlfn = 2,
  xlretInvCount = 4,
  xlretInvXloper = 8,
  xlretFailed = 32,
};

// An 8-byte value followed by the 16-bit type. A string is a pointer to a
// counted string: one length byte, then up to 255 characters, no terminator.
struct XLOPER {
  union {
    double num;
    unsigned char* str;
    int16_t err;
    int16_t w;
  } val;
  uint16_t xltype;
};
using LPXLOPER = XLOPER*;

static_assert(sizeof(XLOPER) == 16, "XLOPER is a 16-byte record");
static_assert(offsetof(XLOPER, xltype) == 8, "the type follows the 8-byte value");

// The spreadsheet's array of doubles: 16-bit rows, 16-bit columns, four
// bytes of padding, then rows x columns doubles from byte 8. Callers allocate
// 8 + 8 x count bytes; `array` is only the first element.
struct FP {
  uint16_t rows;
  uint16_t columns;
  double array[1];
};

static_assert(offsetof(FP, array) == 8, "FP elements start at byte 8");

// Element i of an FP in storage order, without indexing past the declared
// one-element array.
inline double* FpElements(FP* fp) { return &fp->array[0]; }
inline const double* FpElements(const FP* fp) { return &fp->array[0]; }
inline size_t FpCount(const FP* fp) {
  return static_cast<size_t>(fp->rows) * static_cast<size_t>(fp->columns);
}

// Provided by whoever hosts the add-in (xllhost, or a test program): the
// add-in leaves the symbol undefined and the dynamic loader binds it to the
// host executable's export.
extern "C" int Excel4v(int xlfn, LPXLOPER operRes, int count, LPXLOPER opers[]);
