// money! values: an exact decimal of 17 integer digits and 5 decimals with an optional currency.
// Cell bytes: 0 type, header bit 14 the sign; byte 4 the currency index (0 none, else the 1-based
// position in the currency list); bytes 5-15 hold 22 BCD digits, two a byte, the odd-numbered
// digit in the high nibble. Digit 1 is the most significant; digits 18-22 are the decimals.
#pragma once

#include <cstdint>
#include <string_view>

#include "datatypes/cell.h"

namespace money {

constexpr uint32_t sign_flag = 1u << 14;
constexpr int kDigits = 22;
constexpr int kIntegerDigits = 17;

inline uint8_t* bytes_of(Cell* c) { return reinterpret_cast<uint8_t*>(c) + 5; }
inline const uint8_t* bytes_of(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + 5; }
inline int currency_of(const Cell* c) { return static_cast<int>(c->data1 & 0xFF); }
int get_digit(const Cell* c, int i);  // i = 1..22
void set_digit(Cell* c, int i, int d);
bool zero_q(const Cell* c);
bool negative_q(const Cell* c);  // the sign set on a non-zero amount

// The currency list: the three-letter codes known at start, plus any added later.
int currency_index(std::string_view code);  // 0 when unknown
std::string_view currency_code(int index);
int add_currency(std::string_view code);
int currency_count();

// The lexer's constructor over single-byte text: the integer digits lie strictly between `before`
// and the point (or the end), the decimals between the point and the end; "'" is skipped;
// digits beyond 17 integer or 5 decimal places are not stored. Answers false (a zero amount left
// in the cell) for an unknown currency code.
bool make_from_text(Cell* c, bool negative, const char* code, size_t code_length, const char* before,
                    const char* point, const char* end);
Cell* from_integer(Cell* c, int32_t n);
double to_float(const Cell* c);

// system/options/money-digits when the environment provides it (null: 2 decimals).
extern int (*money_digits)();

// random: /seed seeds from the cell's bits (unset result); else an amount of the same sign and
// currency whose magnitude does not exceed the value's.
void random(const int32_t* refs);
int form(const Cell* value, Node buffer, const Cell* part, int limit);
int mold(const Cell* value, Node buffer, bool only, bool all, bool flat, const Cell* part, int limit, int indent);
int compare(const Cell* a, const Cell* b, int op);

void init();

}  // namespace money
