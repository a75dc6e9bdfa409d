// Worksheet calls: "Name(arg, ...)" parsed into numbers and array constants,
// converted by the registered type text and passed to an exactly typed call.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "XllHost.h"

namespace xllhost {

namespace {

// A parsed argument: a number, or an array constant of rows x columns.
struct Operand {
  bool isArray = false;
  double number = 0.0;
  size_t rows = 0, columns = 0;
  std::vector<double> elements;
};

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool Parse(std::string* name, std::vector<Operand>* args, std::string* error) {
    Skip();
    const size_t start = pos_;
    while (pos_ < s_.size() && (std::isalnum(Byte()) || s_[pos_] == '_' || s_[pos_] == '.')) ++pos_;
    *name = s_.substr(start, pos_ - start);
    if (name->empty()) return Fail("expected a function name", error);
    Skip();
    if (!Eat('(')) return Fail("expected '(' after the function name", error);
    Skip();
    if (!Eat(')')) {
      for (;;) {
        Operand op;
        if (!ParseOperand(&op, error)) return false;
        args->push_back(std::move(op));
        Skip();
        if (Eat(')')) break;
        if (!Eat(',')) return Fail("expected ',' or ')'", error);
      }
    }
    Skip();
    if (pos_ != s_.size()) return Fail("unexpected text after ')'", error);
    return true;
  }

 private:
  unsigned char Byte() const { return static_cast<unsigned char>(s_[pos_]); }
  void Skip() {
    while (pos_ < s_.size() && std::isspace(Byte())) ++pos_;
  }
  bool Eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool Fail(const std::string& what, std::string* error) {
    *error = what + " at position " + std::to_string(pos_ + 1) + " of '" + s_ + "'";
    return false;
  }
  bool ParseNumber(double* out, std::string* error) {
    Skip();
    const char* begin = s_.c_str() + pos_;
    char* end = nullptr;
    const double v = std::strtod(begin, &end);
    if (end == begin) return Fail("expected a number", error);
    if (!std::isfinite(v)) return Fail("number out of range", error);
    pos_ += static_cast<size_t>(end - begin);
    *out = v;
    return true;
  }
  bool ParseOperand(Operand* op, std::string* error) {
    Skip();
    if (!Eat('{')) return ParseNumber(&op->number, error);
    op->isArray = true;
    size_t inRow = 0;
    for (;;) {
      double v;
      if (!ParseNumber(&v, error)) return false;
      op->elements.push_back(v);
      ++inRow;
      Skip();
      if (Eat(',')) continue;
      if (op->rows == 0) {
        op->columns = inRow;
      } else if (inRow != op->columns) {
        return Fail("every row of an array needs the same number of columns", error);
      }
      ++op->rows;
      inRow = 0;
      if (Eat(';')) continue;
      if (Eat('}')) break;
      return Fail("expected ',', ';' or '}' in an array", error);
    }
    if (op->rows > 65535 || op->columns > 65535) return Fail("array too large", error);
    return true;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

// One argument as the export receives it. Arrays are held in FP layout.
struct Value {
  double num = 0.0;
  int16_t w = 0;
  FP* fp = nullptr;
};

template <typename T>
T Get(const Value& v);
template <>
double Get<double>(const Value& v) { return v.num; }
template <>
short Get<short>(const Value& v) { return v.w; }
template <>
FP* Get<FP*>(const Value& v) { return v.fp; }

std::string Show(double v) { return FormatNumber(v); }
std::string Show(short v) { return std::to_string(v); }
std::string Show(FP* fp) {
  // A spreadsheet shows a missing array result as a number error.
  if (fp == nullptr) return "#NUM!";
  std::string out = "{";
  const double* e = FpElements(fp);
  for (size_t r = 0; r < fp->rows; ++r) {
    if (r > 0) out += ";";
    for (size_t c = 0; c < fp->columns; ++c) {
      if (c > 0) out += ",";
      out += FormatNumber(e[r * fp->columns + c]);
    }
  }
  return out + "}";
}

template <typename R, typename... A, size_t... I>
std::string CallWith(void* fn, const std::vector<Value>& args, std::index_sequence<I...>) {
  return Show(reinterpret_cast<R (*)(A...)>(fn)(Get<A>(args[I])...));
}

template <typename R, typename... A>
std::string Invoke(void* fn, const std::vector<Value>& args) {
  return CallWith<R, A...>(fn, args, std::index_sequence_for<A...>{});
}

using D = double;
using S = short;

// The type texts whose calls this host can make: B a double, I a 16-bit
// integer, K an FP array pointer; the first letter is the result.
struct Signature {
  const char* typeText;
  std::string (*invoke)(void*, const std::vector<Value>&);
};
const Signature kSignatures[] = {
    {"BB", &Invoke<D, D>},
    {"II", &Invoke<S, S>},
    {"BBBBBBBII", &Invoke<D, D, D, D, D, D, D, S, S>},
    {"BBBBBBBIIKK", &Invoke<D, D, D, D, D, D, D, S, S, FP*, FP*>},
    {"KBBBBBBIIKK", &Invoke<FP*, D, D, D, D, D, D, S, S, FP*, FP*>},
};

const Signature* FindSignature(const std::string& typeText) {
  for (const Signature& s : kSignatures)
    if (typeText == s.typeText) return &s;
  return nullptr;
}

// Storage of one FP argument (8-byte header, then the doubles).
std::unique_ptr<double[]> MakeFp(const Operand& op, FP** fp) {
  const size_t count = op.isArray ? op.elements.size() : 1;
  std::unique_ptr<double[]> storage(new double[1 + count]);
  FP* p = reinterpret_cast<FP*>(storage.get());
  p->rows = static_cast<uint16_t>(op.isArray ? op.rows : 1);
  p->columns = static_cast<uint16_t>(op.isArray ? op.columns : 1);
  double* e = FpElements(p);
  if (op.isArray) {
    for (size_t i = 0; i < count; ++i) e[i] = op.elements[i];
  } else {
    e[0] = op.number;
  }
  *fp = p;
  return storage;
}

}  // namespace

bool IsSupportedTypeText(const std::string& typeText) { return FindSignature(typeText) != nullptr; }

std::string FormatNumber(double v) {
  char buf[64];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

bool XllHost::Parses(const std::string& formula, std::string* error) {
  std::string name;
  std::vector<Operand> operands;
  return Parser(formula).Parse(&name, &operands, error);
}

bool XllHost::Evaluate(const std::string& formula, std::string* value, std::string* error) {
  std::string name;
  std::vector<Operand> operands;
  if (!Parser(formula).Parse(&name, &operands, error)) return false;
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto it = names_.find(upper);
  if (it == names_.end()) {
    *error = "no registered function named '" + name + "'";
    return false;
  }
  const Registration& reg = registrations_[it->second];
  if (reg.procedure == nullptr) {
    *error = "'" + name + "' cannot be called: " + reg.error;
    return false;
  }
  const std::string typeText = reg.Text(kTypeText);
  const Signature* sig = FindSignature(typeText);
  const size_t expected = typeText.size() - 1;
  if (sig == nullptr) {
    *error = "'" + name + "' has an unsupported type text '" + typeText + "'";
    return false;
  }
  if (operands.size() != expected) {
    *error = "'" + name + "' takes " + std::to_string(expected) + " arguments, got " +
             std::to_string(operands.size());
    return false;
  }
  std::vector<Value> values(expected);
  std::vector<std::unique_ptr<double[]>> arrays;
  for (size_t i = 0; i < expected; ++i) {
    const Operand& op = operands[i];
    const char letter = typeText[i + 1];
    const std::string where = "argument " + std::to_string(i + 1) + " of '" + name + "'";
    if (letter == 'K') {
      arrays.push_back(MakeFp(op, &values[i].fp));
      continue;
    }
    if (op.isArray) {
      *error = where + " must be a number, not an array";
      return false;
    }
    if (letter == 'B') {
      values[i].num = op.number;
    } else {
      const double t = std::trunc(op.number);
      if (t < -32768.0 || t > 32767.0) {
        *error = where + " must be an integer from -32768 to 32767";
        return false;
      }
      values[i].w = static_cast<int16_t>(t);
    }
  }
  *value = sig->invoke(reg.procedure, values);
  return true;
}

}  // namespace xllhost
