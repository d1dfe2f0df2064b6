#include "loading/lexer.h"

#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/datatype.h"
#include "datatypes/error.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "runtime/collector.h"
#include "runtime/dtoa.h"
#include "runtime/fire.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace lexer {

namespace {

// ---------------------------------------------------------------------------------------------
// Character classes. Each byte maps to a class (low byte) and flags (upper bits) that are OR-ed
// over the bytes of a token.

enum Class : uint8_t {
    C_BLANK = 0,  // tab, carriage return, space
    C_LF,
    C_DIGIT,      // 1-9
    C_ZERO,
    C_LBRACK,
    C_RBRACK,
    C_LPAREN,
    C_RPAREN,
    C_LBRACE,
    C_RBRACE,
    C_DQUOTE,
    C_HASH,
    C_QUOTE,
    C_COLON,
    C_X,          // x X
    C_T,          // T
    C_H,          // h
    C_LE,         // e
    C_UE,         // E
    C_HEXL,       // a-d f
    C_HEXU,       // A-D F
    C_SLASH,
    C_BSLASH,
    C_LT,
    C_GT,
    C_EQ,
    C_PCT,
    C_COMMA,
    C_SEMI,
    C_AT,
    C_DOT,
    C_DOLLAR,
    C_PLUS,
    C_MINUS,
    C_CARET,
    C_CTRL,       // control bytes other than tab, LF, CR
    C_CONT,       // DEL and UTF-8 continuation bytes
    C_WORD,       // other letters and symbols, UTF-8 lead bytes
    C_BAD,        // bytes that never start UTF-8
    C_END,        // NUL, and the end of input
    kClassCount
};

namespace flag {
constexpr uint32_t hash = 0x800000;
constexpr uint32_t quote = 0x2000000;
constexpr uint32_t colon = 0x4000000;
constexpr uint32_t exponent = 0x1000000;
constexpr uint32_t lt = 0x100000;
constexpr uint32_t gt = 0x80000;
constexpr uint32_t percent = 0x40000;
constexpr uint32_t after_line = 0x20000;  // a braced string that began after a line break
constexpr uint32_t comma = 0x8000000;
constexpr uint32_t dot = 0x10000000;
constexpr uint32_t sign = 0x200000;
constexpr uint32_t caret = 0x20000000;
constexpr uint32_t end = 0x400000;
constexpr uint32_t lead23 = 0x40000000;
constexpr uint32_t lead4 = 0x80000000;
constexpr uint32_t non_ascii = lead23 | lead4;
}  // namespace flag

uint32_t class_table[256];

void build_classes() {
    for (int b = 0; b < 256; b++) {
        uint32_t c;
        if (b == 0)
            c = C_END | flag::end;
        else if (b == '\t' || b == '\r' || b == ' ')
            c = C_BLANK;
        else if (b == '\n')
            c = C_LF;
        else if (b < 0x20)
            c = C_CTRL;
        else if (b >= '1' && b <= '9')
            c = C_DIGIT;
        else if (b == '0')
            c = C_ZERO;
        else if (b == 0x7F)
            c = C_CONT;
        else if (b >= 0x80 && b <= 0xBF)
            // A continuation byte marks the token as non-ASCII, so that one without its lead
            // byte is checked (and refused) like any other malformed sequence.
            c = C_CONT | flag::lead23;
        else if (b == 0xC0 || b == 0xC1 || b >= 0xF8)
            c = C_BAD;
        else if (b >= 0xC2 && b <= 0xEF)
            c = C_WORD | flag::lead23;
        else if (b >= 0xF0)
            c = C_WORD | flag::lead4;
        else {
            switch (b) {
                case '[': c = C_LBRACK; break;
                case ']': c = C_RBRACK; break;
                case '(': c = C_LPAREN; break;
                case ')': c = C_RPAREN; break;
                case '{': c = C_LBRACE; break;
                case '}': c = C_RBRACE; break;
                case '"': c = C_DQUOTE; break;
                case '#': c = C_HASH | flag::hash; break;
                case '\'': c = C_QUOTE | flag::quote; break;
                case ':': c = C_COLON | flag::colon; break;
                case 'x': case 'X': c = C_X; break;
                case 'T': c = C_T; break;
                case 'h': c = C_H; break;
                case 'e': c = C_LE | flag::exponent; break;
                case 'E': c = C_UE | flag::exponent; break;
                case 'a': case 'b': case 'c': case 'd': case 'f': c = C_HEXL; break;
                case 'A': case 'B': case 'C': case 'D': case 'F': c = C_HEXU; break;
                case '/': c = C_SLASH; break;
                case '\\': c = C_BSLASH; break;
                case '<': c = C_LT | flag::lt; break;
                case '>': c = C_GT | flag::gt; break;
                case '=': c = C_EQ; break;
                case '%': c = C_PCT | flag::percent; break;
                case ',': c = C_COMMA | flag::comma; break;
                case ';': c = C_SEMI; break;
                case '@': c = C_AT; break;
                case '.': c = C_DOT | flag::dot; break;
                case '$': c = C_DOLLAR; break;
                case '+': c = C_PLUS | flag::sign; break;
                case '-': c = C_MINUS | flag::sign; break;
                case '^': c = C_CARET | flag::caret; break;
                default: c = C_WORD; break;  // other letters, ! & * ? _ ~ ` |
            }
        }
        class_table[b] = c;
    }
}

// ---------------------------------------------------------------------------------------------
// The automaton. Working states below F; an entry F + t is the final state of token t. Four
// states start tokens: S_START between tokens, S_BRACE inside a braced string, S_POINT inside a
// point literal, S_PATH after a path separator.

enum State : uint8_t {
    S_START,
    S_BRACE, S_BRACE_ESC,
    S_POINT,
    S_PATH,
    S_WORD, S_WHEX, S_WHEX_H, S_WORD_COLON, S_URL, S_EMAIL,
    S_SLASH, S_SLASH2, S_SLASH2_COLON, S_SLASH_COLON, S_REFINE,
    S_LIT, S_LIT_SLASH, S_LIT_SLASH2, S_LSIGN, S_LWORD, S_LLT,
    S_GET, S_GET_SLASH, S_GET_SLASH2, S_GSIGN, S_GWORD, S_GLT,
    S_SIGN, S_SIGN_DOT, S_DOT,
    S_INT, S_INT_DOT, S_FRAC, S_TUPLE, S_EXP, S_EXP_SIGN, S_EXP_DIG, S_EXP_HEX, S_EXP_HEX_DIG, S_NHEX, S_HEX_H,
    S_SPECIAL,
    S_PAIR_X, S_PAIR_SIGN, S_PAIR_Y, S_TIME, S_DATE, S_BASE, S_BIN, S_BIN_COMMENT,
    S_STR, S_STR_ESC, S_CHAR, S_CHAR_ESC, S_HASH, S_ISSUE, S_CONSTRUCT,
    S_LT, S_LT2, S_LTGT, S_LTGT_COLON, S_TAG, S_TAG_DQ, S_TAG_SQ,
    S_PCT, S_PCTN, S_FILE, S_FILE_Q, S_FILE_QESC,
    S_RAW1, S_RAW1_B, S_RAW1_P, S_RAWN, S_RAWN_B, S_RAWN_P,
    S_COMMENT, S_REF, S_MONEY,
    S_PINT, S_PSIGN, S_PWORD, S_PLIT, S_PLSIGN, S_PLLT, S_PGET, S_PISSUE, S_PREF, S_PMONEY, S_PLT, S_PLTGT,
    kStateCount
};
constexpr int F = kStateCount;
static_assert(F + kTokenCount < 256);

// The type that an error inside a construction names: it raises malconstruct.
constexpr uint8_t kTypeMalconstruct = 255;

uint8_t trans[kStateCount][kClassCount];
uint8_t state_type[F + kTokenCount + 1];

constexpr uint8_t fin(int t) { return static_cast<uint8_t>(F + t); }

struct RowBuilder {
    uint8_t* row;
    RowBuilder& all(uint8_t to) {
        for (int c = 0; c < kClassCount; c++) row[c] = to;
        return *this;
    }
    RowBuilder& on(std::initializer_list<int> classes, uint8_t to) {
        for (int c : classes) row[c] = to;
        return *this;
    }
    RowBuilder& copy(State from) {
        std::memcpy(row, trans[from], kClassCount);
        return *this;
    }
};
RowBuilder row(State s) { return RowBuilder{trans[s]}; }

// Bytes that end a word-like token.
const std::initializer_list<int> kDelims = {C_BLANK, C_LF,     C_CTRL,   C_LBRACK, C_RBRACK, C_LPAREN,
                                            C_RPAREN, C_LBRACE, C_RBRACE, C_DQUOTE, C_SEMI,   C_END};
// Bytes that continue a word.
const std::initializer_list<int> kWordChars = {C_X,    C_T,  C_H,     C_LE,    C_UE,   C_HEXL, C_HEXU, C_DIGIT, C_ZERO,
                                               C_QUOTE, C_GT, C_EQ,   C_DOT,   C_PLUS, C_MINUS, C_CARET, C_CONT, C_WORD};
// Bytes that may begin a word after a quote or colon.
const std::initializer_list<int> kWordStart = {C_X, C_T, C_H, C_LE, C_UE, C_HEXL, C_HEXU, C_WORD, C_GT, C_EQ, C_CARET, C_LT};

void build_automaton() {
    // Between tokens.
    row(S_START).all(fin(T_ERROR))
        .on({C_BLANK, C_LF, C_CTRL}, S_START)
        .on({C_LBRACK}, fin(T_BLOCK_OPEN)).on({C_RBRACK}, fin(T_BLOCK_CLOSE))
        .on({C_LPAREN}, fin(T_PAREN_OPEN)).on({C_RPAREN}, fin(T_PAREN_CLOSE))
        .on({C_LBRACE}, fin(T_BRACE_OPEN)).on({C_COMMA}, fin(T_COMMA)).on({C_END}, fin(T_END))
        .on({C_DQUOTE}, S_STR).on({C_DIGIT, C_ZERO}, S_INT).on({C_HASH}, S_HASH)
        .on({C_QUOTE}, S_LIT).on({C_COLON}, S_GET)
        .on({C_X, C_T, C_H, C_LE, C_HEXL, C_WORD, C_GT, C_EQ, C_CARET}, S_WORD).on({C_UE, C_HEXU}, S_WHEX)
        .on({C_SLASH}, S_SLASH).on({C_LT}, S_LT).on({C_PCT}, S_PCT).on({C_SEMI}, S_COMMENT).on({C_AT}, S_REF)
        .on({C_DOT}, S_DOT).on({C_DOLLAR}, S_MONEY).on({C_PLUS, C_MINUS}, S_SIGN);

    // Inside a braced string everything is text but braces, escapes, invalid bytes and the end.
    row(S_BRACE).all(S_BRACE).on({C_LBRACE}, fin(T_BRACE_OPEN)).on({C_RBRACE}, fin(T_BRACE_CLOSE))
        .on({C_CARET}, S_BRACE_ESC).on({C_BAD, C_END}, fin(T_ERROR));
    row(S_BRACE_ESC).all(S_BRACE).on({C_BAD, C_END}, fin(T_ERROR));

    // Inside a point literal, up to its closing paren.
    row(S_POINT).all(fin(T_ERROR))
        .on({C_BLANK, C_HASH, C_PLUS, C_MINUS, C_DOT, C_DIGIT, C_ZERO, C_HEXU, C_UE, C_HEXL, C_LE, C_WORD, C_COMMA,
             C_QUOTE}, S_POINT)
        .on({C_RPAREN}, fin(T_POINT));

    // Words.
    row(S_WORD).all(S_WORD).on(kDelims, fin(T_WORD)).on({C_HASH, C_BSLASH, C_LT}, fin(T_WORD))
        .on({C_SLASH}, fin(T_PATH)).on({C_COLON}, S_WORD_COLON).on({C_AT}, S_EMAIL).on({C_DOLLAR}, S_MONEY)
        .on({C_PCT, C_COMMA, C_BAD}, fin(T_ERROR));
    // A word of upper-case hex digits followed by h is a hex integer.
    row(S_WHEX).copy(S_WORD).on({C_UE, C_HEXU, C_DIGIT, C_ZERO}, S_WHEX).on({C_H}, S_WHEX_H);
    row(S_WHEX_H).copy(S_WORD).on(kDelims, fin(T_HEX)).on({C_HASH, C_BSLASH, C_LT}, fin(T_HEX));
    // word: then a delimiter is a set-word, anything else a url.
    row(S_WORD_COLON).all(S_URL).on(kDelims, fin(T_WORD)).on({C_LT, C_BSLASH}, fin(T_WORD))
        .on({C_GT, C_CARET, C_BAD}, fin(T_ERROR));
    row(S_URL).all(S_URL).on(kDelims, fin(T_URL)).on({C_BSLASH, C_LT}, fin(T_URL))
        .on({C_GT, C_CARET, C_BAD}, fin(T_ERROR));
    row(S_EMAIL).all(S_EMAIL).on(kDelims, fin(T_EMAIL)).on({C_LT, C_BSLASH}, fin(T_EMAIL))
        .on({C_AT, C_COMMA, C_SLASH, C_BAD}, fin(T_ERROR));

    // Refinements and the slash words.
    row(S_SLASH).all(fin(T_ERROR)).on(kDelims, fin(T_REFINEMENT)).on({C_HASH, C_LT, C_BSLASH}, fin(T_REFINEMENT))
        .on({C_SLASH}, S_SLASH2).on({C_COLON}, S_SLASH_COLON).on(kWordChars, S_REFINE);
    row(S_SLASH2).all(fin(T_ERROR)).on(kDelims, fin(T_WORD)).on({C_HASH, C_LT, C_BSLASH}, fin(T_WORD))
        .on({C_SLASH}, S_SLASH2).on({C_COLON}, S_SLASH2_COLON);
    row(S_SLASH2_COLON).all(fin(T_ERROR)).on(kDelims, fin(T_WORD)).on({C_HASH, C_LT, C_BSLASH}, fin(T_WORD));
    row(S_SLASH_COLON).all(fin(T_ERROR)).on(kDelims, fin(T_REFINEMENT));
    row(S_REFINE).all(fin(T_ERROR)).on(kWordChars, S_REFINE).on(kDelims, fin(T_REFINEMENT))
        .on({C_HASH, C_LT, C_BSLASH, C_SLASH}, fin(T_REFINEMENT));

    // Lit-words and get-words: a quote or colon, then a word that does not start with a digit.
    row(S_LWORD).copy(S_WORD).on(kWordChars, S_LWORD).on({C_DOLLAR, C_AT}, fin(T_ERROR));
    row(S_LSIGN).copy(S_LWORD).on({C_DIGIT, C_ZERO}, fin(T_ERROR));
    // '<< is the lit-word of <<: the second "<" does not end it as it ends any other word.
    row(S_LLT).copy(S_LWORD).on({C_LT}, S_LWORD);
    row(S_LIT).all(fin(T_ERROR)).on(kWordStart, S_LWORD).on({C_PLUS, C_MINUS, C_DOT}, S_LSIGN)
        .on({C_SLASH}, S_LIT_SLASH).on({C_LT}, S_LLT);
    row(S_LIT_SLASH).all(fin(T_ERROR)).on(kDelims, fin(T_REFINEMENT)).on({C_HASH, C_LT, C_BSLASH}, fin(T_REFINEMENT))
        .on({C_SLASH}, S_LIT_SLASH2);
    // '// and :// are the lit-word and get-word of the word //, as '/ and :/ are those of /.
    row(S_LIT_SLASH2).all(fin(T_ERROR)).on(kDelims, fin(T_WORD)).on({C_HASH, C_LT, C_BSLASH}, fin(T_WORD))
        .on({C_SLASH}, S_LIT_SLASH2);
    row(S_GWORD).copy(S_LWORD).on(kWordChars, S_GWORD);
    row(S_GSIGN).copy(S_GWORD).on({C_DIGIT, C_ZERO}, fin(T_ERROR));
    row(S_GLT).copy(S_GWORD).on({C_LT}, S_GWORD);
    row(S_GET).copy(S_LIT).on(kWordStart, S_GWORD).on({C_PLUS, C_MINUS, C_DOT}, S_GSIGN).on({C_SLASH}, S_GET_SLASH)
        .on({C_LT}, S_GLT);
    row(S_GET_SLASH2).copy(S_LIT_SLASH2).on({C_SLASH}, S_GET_SLASH2);
    row(S_GET_SLASH).copy(S_LIT_SLASH).on({C_SLASH}, S_GET_SLASH2);

    // A sign or a dot: a number when a digit follows, else a word.
    row(S_SIGN).copy(S_WORD).on({C_DIGIT, C_ZERO}, S_INT).on({C_DOT}, S_SIGN_DOT);
    row(S_SIGN_DOT).copy(S_WORD).on({C_DIGIT, C_ZERO}, S_FRAC);
    row(S_DOT).copy(S_WORD).on({C_DIGIT, C_ZERO}, S_FRAC);

    // Numbers end at delimiters, a comma or "<"; any other unexpected byte is an error.
    auto number_end = [](State s, int t) {
        row(s).on(kDelims, fin(t)).on({C_COMMA, C_LT}, fin(t));
    };
    row(S_INT).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO, C_QUOTE}, S_INT).on({C_DOT}, S_INT_DOT).on({C_LE}, S_EXP)
        .on({C_UE}, S_EXP_HEX).on({C_HEXU}, S_NHEX).on({C_X}, S_PAIR_X).on({C_COLON}, S_TIME)
        .on({C_SLASH, C_MINUS, C_T}, S_DATE).on({C_H}, S_HEX_H).on({C_PCT}, fin(T_PERCENT)).on({C_AT}, S_EMAIL)
        .on({C_HASH}, S_BASE);
    number_end(S_INT, T_INTEGER);
    row(S_INT_DOT).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO}, S_FRAC).on({C_HASH}, S_SPECIAL).on({C_LE, C_UE}, S_EXP)
        .on({C_X}, S_PAIR_X).on({C_PCT}, fin(T_PERCENT));
    number_end(S_INT_DOT, T_FLOAT);
    row(S_FRAC).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO, C_QUOTE}, S_FRAC).on({C_DOT}, S_TUPLE).on({C_LE, C_UE}, S_EXP)
        .on({C_X}, S_PAIR_X).on({C_PCT}, fin(T_PERCENT));
    number_end(S_FRAC, T_FLOAT);
    row(S_TUPLE).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO, C_DOT}, S_TUPLE);
    number_end(S_TUPLE, T_TUPLE);
    row(S_EXP).all(fin(T_ERROR)).on({C_PLUS, C_MINUS}, S_EXP_SIGN).on({C_DIGIT, C_ZERO}, S_EXP_DIG);
    number_end(S_EXP, T_FLOAT);
    row(S_EXP_SIGN).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO}, S_EXP_DIG);
    number_end(S_EXP_SIGN, T_FLOAT);
    row(S_EXP_DIG).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO}, S_EXP_DIG).on({C_PCT}, fin(T_PERCENT));
    number_end(S_EXP_DIG, T_FLOAT);
    // After digits and "E": an exponent, or more of a hex integer (1E5 is a float, 1E5h a hex).
    row(S_EXP_HEX).all(fin(T_ERROR)).on({C_PLUS, C_MINUS}, S_EXP_SIGN).on({C_DIGIT, C_ZERO}, S_EXP_HEX_DIG)
        .on({C_UE, C_HEXU}, S_NHEX).on({C_H}, S_HEX_H);
    number_end(S_EXP_HEX, T_FLOAT);
    row(S_EXP_HEX_DIG).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO}, S_EXP_HEX_DIG).on({C_UE, C_HEXU}, S_NHEX)
        .on({C_H}, S_HEX_H).on({C_PCT}, fin(T_PERCENT));
    number_end(S_EXP_HEX_DIG, T_FLOAT);
    row(S_NHEX).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO, C_UE, C_HEXU}, S_NHEX).on({C_H}, S_HEX_H);
    row(S_HEX_H).all(fin(T_ERROR));
    number_end(S_HEX_H, T_HEX);
    row(S_SPECIAL).all(fin(T_ERROR)).on({C_X, C_T, C_H, C_LE, C_UE, C_HEXL, C_HEXU, C_WORD}, S_SPECIAL);
    number_end(S_SPECIAL, T_SPECIAL_FLOAT);
    row(S_PAIR_X).all(fin(T_ERROR)).on({C_PLUS, C_MINUS}, S_PAIR_SIGN).on({C_DIGIT, C_ZERO}, S_PAIR_Y);
    row(S_PAIR_SIGN).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO}, S_PAIR_Y);
    row(S_PAIR_Y).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO, C_QUOTE, C_DOT}, S_PAIR_Y);
    number_end(S_PAIR_Y, T_PAIR);
    row(S_TIME).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO, C_COLON, C_DOT, C_COMMA, C_QUOTE, C_LE, C_UE}, S_TIME)
        .on(kDelims, fin(T_TIME)).on({C_LT}, fin(T_TIME));
    // A date runs to a delimiter, "$" or "<".
    row(S_DATE).all(S_DATE).on(kDelims, fin(T_DATE)).on({C_DOLLAR, C_LT, C_COMMA}, fin(T_DATE))
        .on({C_BAD}, fin(T_ERROR));
    row(S_BASE).all(fin(T_ERROR)).on({C_LBRACE}, S_BIN);
    row(S_BIN).all(fin(T_ERROR))
        .on({C_DIGIT, C_ZERO, C_X, C_T, C_H, C_LE, C_UE, C_HEXL, C_HEXU, C_WORD, C_PLUS, C_SLASH, C_EQ, C_BLANK, C_LF,
             C_QUOTE, C_CTRL}, S_BIN)
        .on({C_SEMI}, S_BIN_COMMENT).on({C_RBRACE}, fin(T_BINARY));
    row(S_BIN_COMMENT).all(S_BIN_COMMENT).on({C_LF}, S_BIN).on({C_END}, fin(T_ERROR));

    // Strings and chars: escapes skip the next byte; a line end or the end of input is an error.
    row(S_STR).all(S_STR).on({C_CARET}, S_STR_ESC).on({C_DQUOTE}, fin(T_STRING)).on({C_LF, C_END, C_BAD}, fin(T_ERROR));
    row(S_STR_ESC).all(S_STR).on({C_LF, C_END, C_BAD}, fin(T_ERROR));
    row(S_CHAR).all(S_CHAR).on({C_CARET}, S_CHAR_ESC).on({C_DQUOTE}, fin(T_CHAR)).on({C_LF, C_END, C_BAD}, fin(T_ERROR));
    row(S_CHAR_ESC).all(S_CHAR).on({C_LF, C_END, C_BAD}, fin(T_ERROR));

    // "#": a map, a construction, a binary, a char, or an issue.
    row(S_HASH).all(S_ISSUE).on(kDelims, fin(T_ISSUE)).on({C_AT}, fin(T_ISSUE)).on({C_LBRACK}, fin(T_MAP_OPEN))
        .on({C_LPAREN}, S_CONSTRUCT).on({C_LBRACE}, S_BIN).on({C_DQUOTE}, S_CHAR)
        .on({C_COLON, C_SLASH, C_BAD}, fin(T_ERROR));
    row(S_ISSUE).all(S_ISSUE).on(kDelims, fin(T_ISSUE)).on({C_AT}, fin(T_ISSUE)).on({C_COLON, C_SLASH, C_BAD}, fin(T_ERROR));
    row(S_CONSTRUCT).all(S_CONSTRUCT).on({C_RPAREN}, fin(T_CONSTRUCT)).on({C_LF, C_END}, fin(T_ERROR));

    // "<": the words <, <<, <=, <>, <- or a tag running to ">" (quoted parts may hold ">").
    row(S_TAG).all(S_TAG).on({C_GT}, fin(T_TAG)).on({C_DQUOTE}, S_TAG_DQ).on({C_QUOTE}, S_TAG_SQ)
        .on({C_END, C_BAD}, fin(T_ERROR));
    row(S_TAG_DQ).all(S_TAG_DQ).on({C_DQUOTE}, S_TAG).on({C_END, C_BAD}, fin(T_ERROR));
    row(S_TAG_SQ).all(S_TAG_SQ).on({C_QUOTE}, S_TAG).on({C_END, C_BAD}, fin(T_ERROR));
    row(S_LT).copy(S_TAG).on(kDelims, fin(T_WORD)).on({C_LT, C_EQ, C_MINUS}, S_LT2).on({C_GT}, S_LTGT);
    row(S_LT2).copy(S_TAG).on(kDelims, fin(T_WORD));
    // No tag begins with <>, so <>: is free to be the set-word of <> (a map keyed by <> molds so).
    row(S_LTGT).all(fin(T_ERROR)).on(kDelims, fin(T_WORD)).on({C_COLON}, S_LTGT_COLON);
    row(S_LTGT_COLON).all(fin(T_ERROR)).on(kDelims, fin(T_WORD));

    // "%": the word %, a file (quoted or not), or a raw string %{...}% with equal runs of "%".
    row(S_PCT).all(S_FILE).on(kDelims, fin(T_FILE)).on({C_COLON, C_AT}, fin(T_FILE)).on({C_DQUOTE}, S_FILE_Q)
        .on({C_LBRACE}, S_RAW1).on({C_PCT}, S_PCTN).on({C_BAD}, fin(T_ERROR));
    row(S_PCTN).all(S_FILE).on(kDelims, fin(T_FILE)).on({C_COLON, C_AT}, fin(T_FILE)).on({C_PCT}, S_PCTN)
        .on({C_LBRACE}, S_RAWN).on({C_BAD}, fin(T_ERROR));
    row(S_FILE).all(S_FILE).on(kDelims, fin(T_FILE)).on({C_COLON, C_AT}, fin(T_FILE)).on({C_BAD}, fin(T_ERROR));
    row(S_FILE_Q).all(S_FILE_Q).on({C_DQUOTE}, fin(T_FILE)).on({C_CARET}, S_FILE_QESC)
        .on({C_LF, C_END, C_BAD}, fin(T_ERROR));
    row(S_FILE_QESC).all(S_FILE_Q).on({C_LF, C_END, C_BAD}, fin(T_ERROR));
    row(S_RAW1).all(S_RAW1).on({C_RBRACE}, S_RAW1_B).on({C_END}, fin(T_ERROR));
    row(S_RAW1_B).all(S_RAW1).on({C_PCT}, S_RAW1_P).on({C_RBRACE}, S_RAW1_B).on({C_END}, fin(T_ERROR));
    row(S_RAW1_P).all(fin(T_ERROR)).on(kDelims, fin(T_RAW_STRING));
    row(S_RAWN).all(S_RAWN).on({C_RBRACE}, S_RAWN_B).on({C_END}, fin(T_ERROR));
    row(S_RAWN_B).all(S_RAWN).on({C_PCT}, S_RAWN_P).on({C_RBRACE}, S_RAWN_B).on({C_END}, fin(T_ERROR));
    row(S_RAWN_P).all(S_RAWN).on({C_PCT}, S_RAWN_P).on(kDelims, fin(T_RAW_STRING)).on({C_RBRACE}, S_RAWN_B);

    row(S_COMMENT).all(S_COMMENT).on({C_LF, C_END}, fin(T_COMMENT));
    row(S_REF).all(S_REF).on(kDelims, fin(T_REF)).on({C_AT, C_BAD}, fin(T_ERROR));
    row(S_MONEY).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO, C_QUOTE, C_DOT, C_COMMA}, S_MONEY).on(kDelims, fin(T_MONEY))
        .on({C_LT}, fin(T_MONEY));

    // Path elements: after one, "/" and ":" end it as well.
    const std::initializer_list<int> path_end = {C_SLASH, C_COLON, C_HASH, C_LT, C_BSLASH};
    row(S_PATH).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO}, S_PINT).on({C_PLUS, C_MINUS}, S_PSIGN)
        .on({C_X, C_T, C_H, C_LE, C_UE, C_HEXL, C_HEXU, C_WORD, C_GT, C_EQ, C_CARET, C_DOT}, S_PWORD)
        .on({C_QUOTE}, S_PLIT).on({C_COLON}, S_PGET).on({C_DQUOTE}, S_STR).on({C_HASH}, S_PISSUE).on({C_LT}, S_PLT)
        .on({C_AT}, S_PREF).on({C_DOLLAR}, S_PMONEY).on({C_LPAREN}, fin(T_PAREN_OPEN));
    row(S_PINT).all(fin(T_ERROR)).on({C_DIGIT, C_ZERO, C_QUOTE}, S_PINT).on(kDelims, fin(T_INTEGER))
        .on(path_end, fin(T_INTEGER));
    row(S_PWORD).all(fin(T_ERROR)).on(kWordChars, S_PWORD).on(kDelims, fin(T_WORD)).on(path_end, fin(T_WORD));
    row(S_PSIGN).copy(S_PWORD).on({C_DIGIT, C_ZERO}, S_PINT);
    // Lit-words and get-words as elements take the same names as outside a path: '+ '-x '< '<<.
    row(S_PLSIGN).copy(S_PWORD).on({C_DIGIT, C_ZERO}, fin(T_ERROR));
    row(S_PLLT).copy(S_PWORD).on({C_LT}, S_PWORD);
    row(S_PLIT).all(fin(T_ERROR)).on(kWordStart, S_PWORD).on({C_PLUS, C_MINUS, C_DOT}, S_PLSIGN).on({C_LT}, S_PLLT);
    row(S_PGET).copy(S_PLIT);
    row(S_PISSUE).all(S_PISSUE).on(kDelims, fin(T_ISSUE)).on({C_SLASH, C_COLON, C_AT}, fin(T_ISSUE))
        .on({C_BAD}, fin(T_ERROR));
    row(S_PREF).all(S_PREF).on(kDelims, fin(T_REF)).on({C_SLASH, C_COLON}, fin(T_REF)).on({C_AT, C_BAD}, fin(T_ERROR));
    // "<" as an element is a tag or one of the words <, <<, <=, <>, <- as at the start of a token; <> may
    // also be followed by the next separator or the set-path colon, as no tag can begin with it.
    row(S_PLTGT).copy(S_LTGT).on({C_SLASH, C_COLON}, fin(T_WORD));
    row(S_PLT).copy(S_LT).on({C_GT}, S_PLTGT);
    row(S_PMONEY).copy(S_MONEY).on({C_DIGIT, C_ZERO, C_QUOTE, C_DOT, C_COMMA}, S_PMONEY)
        .on({C_SLASH, C_COLON}, fin(T_MONEY));

    // The datatype each working state stands for (named by "invalid X" errors).
    auto type = [](std::initializer_list<int> states, uint8_t t) {
        for (int s : states) state_type[s] = t;
    };
    type({S_START, S_COMMENT}, 0);
    type({S_BRACE, S_BRACE_ESC, S_STR, S_STR_ESC, S_RAW1, S_RAW1_B, S_RAW1_P, S_RAWN, S_RAWN_B, S_RAWN_P}, TYPE_STRING);
    type({S_POINT}, TYPE_POINT2D);
    type({S_PATH, S_PINT, S_PSIGN, S_PWORD, S_PLIT, S_PLSIGN, S_PLLT, S_PGET, S_PISSUE, S_PREF, S_PMONEY}, TYPE_PATH);
    type({S_WORD, S_WHEX, S_WHEX_H, S_WORD_COLON, S_SLASH2, S_SLASH2_COLON, S_SIGN, S_SIGN_DOT, S_DOT, S_LTGT, S_LTGT_COLON, S_PLTGT}, TYPE_WORD);
    type({S_URL}, TYPE_URL);
    type({S_EMAIL}, TYPE_EMAIL);
    type({S_SLASH, S_SLASH_COLON, S_REFINE}, TYPE_REFINEMENT);
    type({S_LIT, S_LIT_SLASH, S_LIT_SLASH2, S_LSIGN, S_LWORD, S_LLT}, TYPE_LIT_WORD);
    type({S_GET, S_GET_SLASH, S_GET_SLASH2, S_GSIGN, S_GWORD, S_GLT}, TYPE_GET_WORD);
    type({S_INT, S_NHEX, S_HEX_H}, TYPE_INTEGER);
    type({S_INT_DOT, S_FRAC, S_EXP, S_EXP_SIGN, S_EXP_DIG, S_EXP_HEX, S_EXP_HEX_DIG, S_SPECIAL}, TYPE_FLOAT);
    type({S_TUPLE}, TYPE_TUPLE);
    type({S_PAIR_X, S_PAIR_SIGN, S_PAIR_Y}, TYPE_PAIR);
    type({S_TIME}, TYPE_TIME);
    type({S_DATE}, TYPE_DATE);
    type({S_BASE, S_BIN, S_BIN_COMMENT}, TYPE_BINARY);
    type({S_CHAR, S_CHAR_ESC}, TYPE_CHAR);
    type({S_HASH, S_ISSUE}, TYPE_ISSUE);
    type({S_CONSTRUCT}, kTypeMalconstruct);
    type({S_LT, S_LT2, S_TAG, S_TAG_DQ, S_TAG_SQ, S_PLT}, TYPE_TAG);
    type({S_PCT, S_PCTN, S_FILE, S_FILE_Q, S_FILE_QESC}, TYPE_FILE);
    type({S_REF}, TYPE_REF);
    type({S_MONEY}, TYPE_MONEY);
    static const uint8_t token_types[kTokenCount + 1] = {
        0,           0,          TYPE_ERROR,  0,           0,          0,          0,           0,
        TYPE_STRING, 0,          0,           0,           0,          0,          TYPE_STRING, TYPE_WORD,
        TYPE_ISSUE,  TYPE_INTEGER, TYPE_REFINEMENT, TYPE_CHAR, TYPE_FILE, TYPE_BINARY, TYPE_PERCENT, TYPE_FLOAT,
        TYPE_FLOAT,  TYPE_TUPLE, TYPE_DATE,   TYPE_PAIR,   TYPE_POINT2D, TYPE_TIME, TYPE_MONEY, TYPE_TAG,
        TYPE_URL,    TYPE_EMAIL, TYPE_INTEGER, TYPE_STRING, TYPE_REF};
    for (int t = 1; t <= kTokenCount; t++) state_type[F + t] = token_types[t];
}

// Tokens whose stopping byte (the delimiter that ended them) belongs to them.
bool closed_by_stop_byte(int t) {
    switch (t) {
        case T_BLOCK_OPEN: case T_BLOCK_CLOSE: case T_PAREN_OPEN: case T_PAREN_CLOSE: case T_BRACE_OPEN:
        case T_BRACE_CLOSE: case T_MAP_OPEN: case T_PATH: case T_CONSTRUCT: case T_COMMA: case T_STRING: case T_CHAR:
        case T_BINARY: case T_PERCENT: case T_POINT: case T_TAG: return true;
        default: return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Unicode white space that is skipped between tokens and ends a word.

bool unicode_space_q(uint32_t cp) {
    switch (cp) {
        case 0x85: case 0xA0: case 0x1680: case 0x180E: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
        case 0x3000: return true;
        default: return cp >= 0x2000 && cp <= 0x200B;
    }
}

// One UTF-8 character at p: its length (1-4) and code point, or 0 when the bytes are malformed
// (overlong forms, surrogates and code points above 0x10FFFF included).
int utf8_char(const uint8_t* p, const uint8_t* end, uint32_t* cp) {
    uint8_t b = p[0];
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    int n;
    uint32_t c;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        c = b & 0x07;
    } else {
        return 0;
    }
    if (end - p < n) return 0;
    for (int k = 1; k < n; k++) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[k] & 0x3F);
    }
    if ((n == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) || (n == 4 && (c < 0x10000 || c > 0x10FFFF))) return 0;
    *cp = c;
    return n;
}

int hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ascii_equal_nocase(const uint8_t* p, size_t n, const char* word) {
    if (std::strlen(word) != n) return false;
    for (size_t i = 0; i < n; i++) {
        uint8_t a = p[i], b = static_cast<uint8_t>(word[i]);
        if (a >= 'A' && a <= 'Z') a = static_cast<uint8_t>(a + 32);
        if (b >= 'A' && b <= 'Z') b = static_cast<uint8_t>(b + 32);
        if (a != b) return false;
    }
    return true;
}

// An escape at p (p[0] is '^'): the bytes it takes and its code point, or 0 when malformed.
// hex_digits receives the number of digits of a ^(...) hex form (0 otherwise).
int read_escape(const uint8_t* p, const uint8_t* end, uint32_t* cp, int* hex_digits) {
    *hex_digits = 0;
    if (end - p < 2) return 0;
    uint8_t c = p[1];
    if (c == '(') {
        const uint8_t* q = p + 2;
        const uint8_t* close = q;
        while (close < end && close - p < 10 && *close != ')') close++;
        if (close >= end || *close != ')') return 0;
        size_t n = size_t(close - q);
        static const struct {
            const char* name;
            uint32_t cp;
        } names[] = {{"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127}};
        for (const auto& e : names)
            if (ascii_equal_nocase(q, n, e.name)) {
                *cp = e.cp;
                return static_cast<int>(close - p + 1);
            }
        if (n < 1 || n > 6) return 0;
        uint32_t v = 0;
        for (size_t i = 0; i < n; i++) {
            int d = hex_digit(q[i]);
            if (d < 0) return 0;
            v = v * 16 + uint32_t(d);
        }
        // A surrogate code point is a character the run-time stores (to string! of its UTF-8
        // bytes gives one), so its escape is the way to write it.
        if (v > 0x10FFFF) return 0;
        *cp = v;
        *hex_digits = static_cast<int>(n);
        return static_cast<int>(close - p + 1);
    }
    switch (c) {
        case '@': *cp = 0; return 2;
        case '/': *cp = 10; return 2;
        case '-': *cp = 9; return 2;
        case '~': *cp = 127; return 2;
        case '"': case '{': case '}': case '^': *cp = c; return 2;
        default: break;
    }
    if (c >= 'a' && c <= 'z') {
        *cp = uint32_t(c - 'a' + 1);
        return 2;
    }
    if (c >= 0x40 && c <= 0x5F) {
        *cp = uint32_t(c - 0x40);
        return 2;
    }
    if (c < 0x80) {
        *cp = c;
        return 2;
    }
    int n = utf8_char(p + 1, end, cp);
    return n ? n + 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Scans, the value buffer and the staging buffer.

struct QuietStop {};
struct Resume {};

// One active scan. Positions are byte offsets into the input; cells are indices into the value
// buffer, which may move whenever a cell is appended.
struct Scan {
    Scan* next = nullptr;
    Scan* parent = nullptr;
    uint32_t buffer_head = 0, series_head = 0, tail = 0;
    const uint8_t* input = nullptr;
    uint32_t length = 0;
    uint32_t pos = 0, token_start = 0, token_end = 0;
    int32_t line = 1;
    int32_t token_lines = 0, lines_carry = 0;
    int32_t kind_hint = -1;
    int32_t token_type = 0;
    int start_state = S_START;
    int prev_state = S_START;
    int32_t expected = 0;
    int32_t prev_token_type = 0;
    uint32_t brace_start = 0, brace_flags = 0;
    int brace_depth = 0;
    int32_t brace_lines = 0;
    int32_t point_lines = 0;
    int t = 0;
    uint32_t flags = 0;
    uint32_t name_from = 0, name_to = 0;  // a word's name, found by its check for its load
    int depth = 0;
    Trace* trace = nullptr;
    Cell source{};
    bool char_units = false;  // positions reported in characters (string sources)
    bool load = true;         // values are built
    bool one = false;
    bool prescan = false;
    bool resumed = false;
    uint32_t cache_byte = 0;
    int32_t cache_unit = 0;
};

Cell* vbuf = nullptr;
uint32_t vcap = 0;
Scan* chain = nullptr;  // the outermost active scan
int active = 0;

uint8_t* staging = nullptr;
constexpr uint32_t kStagingSize = 100000;
uint32_t staging_used = 0;

bool initialised = false;

Cell* at(uint32_t i) { return vbuf + i; }

// A new unset cell at the scan's tail, marked as starting a line when line feeds came before its
// token. The buffer doubles when full.
uint32_t append_cell(Scan& s) {
    if (s.tail >= vcap) {
        uint64_t cap = uint64_t(vcap) * 2;
        if (cap * sizeof(Cell) > 0x7FFFFFF0u) fire(err::internal::no_memory);
        auto* grown = static_cast<Cell*>(runtime::try_resize(vbuf, size_t(cap) * sizeof(Cell)));
        if (!grown) fire(err::internal::no_memory);
        vbuf = grown;
        vcap = static_cast<uint32_t>(cap);
    }
    uint32_t i = s.tail++;
    set_cell(at(i), TYPE_UNSET);
    if (s.token_lines > 0) at(i)->header |= cell_flag::newline;
    return i;
}

bool marker_q(uint32_t i) { return at(i)->type() == TYPE_TRIPLE; }
int marker_kind(uint32_t i) { return static_cast<int>(at(i)->data2 & 0xFFFF); }

// Index of the innermost open series' marker, or -1.
int64_t open_marker(const Scan& s) {
    if (s.series_head > s.buffer_head && marker_q(s.series_head - 1)) return s.series_head - 1;
    return -1;
}

bool path_kind_q(int kind) { return kind >= TYPE_PATH && kind <= TYPE_GET_PATH; }

bool inside_path(const Scan& s) {
    int64_t m = open_marker(s);
    return m >= 0 && path_kind_q(marker_kind(static_cast<uint32_t>(m)));
}

// Units (characters of a string source, else bytes) from the text's start to a byte position.
int32_t units_at(Scan& s, uint32_t byte) {
    if (byte > s.length) byte = s.length;
    if (!s.char_units) return static_cast<int32_t>(byte);
    uint32_t b = s.cache_byte;
    int32_t u = s.cache_unit;
    if (byte >= b) {
        for (; b < byte; b++)
            if ((s.input[b] & 0xC0) != 0x80) u++;
    } else {
        for (; b > byte; b--)
            if ((s.input[b - 1] & 0xC0) != 0x80) u--;
    }
    s.cache_byte = byte;
    s.cache_unit = u;
    return u;
}

// The byte position of a unit count (clamped to the text).
uint32_t byte_at(Scan& s, int32_t units) {
    if (units < 0) units = 0;
    if (!s.char_units) return static_cast<uint32_t>(units) > s.length ? s.length : static_cast<uint32_t>(units);
    uint32_t b = 0;
    int32_t u = 0;
    if (units >= s.cache_unit) {
        b = s.cache_byte;
        u = s.cache_unit;
    }
    while (b < s.length && u < units) {
        b++;
        while (b < s.length && (s.input[b] & 0xC0) == 0x80) b++;
        u++;
    }
    return b;
}

// ---------------------------------------------------------------------------------------------
// Trace events.

bool fire_event(Scan& s, uint32_t bit, int32_t type, const Cell* value, uint32_t start, uint32_t end) {
    Trace* tr = s.trace;
    if (!tr || !(tr->mask & bit) || !tr->fn) return true;
    TraceEvent e;
    e.event = bit;
    e.type = type;
    e.line = s.line;
    if (end < start) end = start;
    e.start = units_at(s, start);
    e.end = units_at(s, end);
    bool at_start = bit == EV_OPEN || (bit == EV_PRESCAN && type < 0);
    e.input = at_start ? e.start : e.end;
    if (value)
        e.value = *value;
    else
        set_cell(&e.value, TYPE_UNSET);
    uint32_t input_byte = at_start ? start : end;
    // The callback may allocate: the copy of the value is kept up to date like any root.
    collector::Root keep(&e.value);
    bool answer = tr->fn(e);
    if (e.resume >= 0) {
        uint32_t to = byte_at(s, e.resume);
        if (to != input_byte) {
            s.pos = to;
            s.resumed = true;
        }
    }
    return answer;
}

// ---------------------------------------------------------------------------------------------
// Errors.

[[noreturn]] void raise(Scan& s, int64_t pos, uint32_t end, int code);

// Closes the innermost series into a block or paren without events (error clean-up), or drops a
// path marker and what follows it.
void close_for_error(Scan& s) {
    while (true) {
        int64_t mi = open_marker(s);
        if (mi < 0) return;
        uint32_t m = static_cast<uint32_t>(mi);
        int kind = marker_kind(m);
        uint32_t enclosing = m - at(m)->data1;
        if (path_kind_q(kind) || !s.load) {
            s.tail = m;
        } else {
            uint8_t as = kind == TYPE_PAREN || kind == TYPE_POINT2D ? TYPE_PAREN : TYPE_BLOCK;
            uint32_t n = s.tail - (m + 1);
            Node node = block::make_node(static_cast<int32_t>(n));
            SeriesBuf* b = memory::nodes[node];
            std::memcpy(b->data(), at(m + 1), size_t(n) * sizeof(Cell));
            b->tail = n * 16;
            uint32_t keep = at(m)->header & cell_flag::newline;
            set_cell(at(m), as, 0, node);
            at(m)->header |= keep;
            s.tail = m + 1;
        }
        s.series_head = enclosing;
        s.depth--;
    }
}

// The text quoted by an error: from the error position to the end of input, a line feed, or the
// first character boundary at or after 30 bytes.
Cell* token_text(Scan& s, uint32_t pos, Cell* out) {
    uint32_t e = pos;
    while (e < s.length && s.input[e] != '\n') {
        if (e - pos >= 30 && (s.input[e] & 0xC0) != 0x80) break;
        e++;
    }
    // Malformed bytes must not make the message itself fail: they are quoted as code points.
    Node node = string::make_node(static_cast<int32_t>(e - pos + 1), 1);
    collector::NodeRoot keep(&node);
    for (uint32_t i = pos; i < e;) {
        uint32_t cp;
        int n = utf8_char(s.input + i, s.input + e, &cp);
        if (n == 0) {
            cp = s.input[i];
            n = 1;
        }
        string::append_char(node, cp);
        i += uint32_t(n);
    }
    return string::make_at(out, node);
}

void raise(Scan& s, int64_t pos, uint32_t end, int code) {
    if (!s.load) {
        s.token_type = TYPE_ERROR;
        throw QuietStop{};
    }
    if (pos < 0) {
        int64_t m = open_marker(s);
        pos = m >= 0 ? int64_t(at(static_cast<uint32_t>(m))->data3) : 0;
    }
    if (pos > int64_t(s.length)) pos = s.length;
    if (end < pos) end = static_cast<uint32_t>(pos);
    if (s.trace && (s.trace->mask & EV_ERROR)) {
        int32_t type = code >= 1       ? code
                       : s.expected >= 1 ? s.expected
                       : s.token_type >= 1 ? s.token_type
                       : s.kind_hint >= 1 ? s.kind_hint
                                          : TYPE_ERROR;
        if (type == kTypeMalconstruct) type = TYPE_ERROR;
        if (s.start_state == S_PATH) {
            int64_t m = open_marker(s);
            if (m >= 0 && path_kind_q(marker_kind(static_cast<uint32_t>(m)))) {
                s.tail = static_cast<uint32_t>(m);
                s.series_head = static_cast<uint32_t>(m) - at(static_cast<uint32_t>(m))->data1;
                s.depth--;
                s.start_state = S_START;
            }
        }
        bool go_on = fire_event(s, EV_ERROR, type, nullptr, static_cast<uint32_t>(pos), end);
        if (!go_on) {
            if (!s.resumed) throw QuietStop{};
            // Stepping over a bad point literal leaves it.
            if (s.start_state == S_POINT) s.start_state = inside_path(s) ? S_PATH : S_START;
            throw Resume{};
        }
        s.resumed = false;
    }
    Cell line_text, token, arg2;
    std::string l = "(line " + std::to_string(s.line) + ")";
    string::load_at(&line_text, l);
    collector::Root keep_line(&line_text);
    token_text(s, static_cast<uint32_t>(pos), &token);
    collector::Root keep_token(&token);
    int32_t expected = s.expected;
    s.expected = 0;
    if (path_kind_q(expected)) code = -1;
    close_for_error(s);
    switch (code) {
        case -1: fire(err::syntax::bad_char, &line_text, &token);
        case -2: fire(err::syntax::malconstruct, &line_text, &token);
        case -3:
        case -4: {
            uint8_t c = '_';
            if (code == -3) {
                uint32_t p = static_cast<uint32_t>(pos);
                c = p < s.length ? s.input[p] : (p > 0 ? s.input[p - 1] : '_');
            }
            uint32_t missing = 0;
            if (expected == TYPE_BLOCK || expected == TYPE_MAP)
                missing = c == ']' ? '[' : ']';
            else if (expected == TYPE_PAREN || expected == TYPE_POINT2D)
                missing = c == ')' ? '(' : ')';
            set_cell(&arg2, TYPE_CHAR, missing);
            fire(err::syntax::missing, &line_text, &arg2, &token);
        }
        default:
            datatype::make_at(&arg2, code == kTypeMalconstruct ? TYPE_ERROR : code);
            fire(err::syntax::invalid, &line_text, &arg2, &token);
    }
}

// An invalid token of a type, quoted from its start.
[[noreturn]] void invalid(Scan& s, int type) { raise(s, s.token_start, s.token_end, type); }

// ---------------------------------------------------------------------------------------------
// Series nesting.

// Opens a series: a marker cell (distance back to the enclosing series head; kind and commas;
// the opener's byte offset). Answers false when a trace callback refused the opening.
bool open_series(Scan& s, int kind, uint32_t opener) {
    if (!fire_event(s, EV_OPEN, kind, nullptr, opener, opener + 1)) return false;
    if (s.depth >= kMaxDepth) fire(err::internal::too_deep);
    uint32_t m = append_cell(s);
    set_cell(at(m), TYPE_TRIPLE, m - s.series_head, static_cast<uint32_t>(kind), opener);
    if (s.token_lines > 0) at(m)->header |= cell_flag::newline;
    s.series_head = m + 1;
    s.token_lines = 0;
    s.depth++;
    return true;
}

// Turns the cells of a map being closed into a map! in the marker's cell.
void build_map(Scan& s, uint32_t m) {
    uint32_t n = s.tail - (m + 1);
    uint32_t opener = at(m)->data3;
    if (n % 2) raise(s, opener, s.pos, TYPE_MAP);
    for (uint32_t i = m + 1; i < s.tail; i += 2) {
        if (!map::valid_key_q(at(i)->type())) raise(s, opener, s.pos, TYPE_MAP);
        map::preprocess_key(at(i));
    }
    // The map is made empty and its keys entered afterwards, merging only keys that are strictly
    // equal: a molded map whose keys differ only in letter case (put/case, JSON members) loads
    // back with every entry.
    Node node = block::make_node(static_cast<int32_t>(n));
    Cell value;
    map::make_at(&value, node);
    collector::Root keep_value(&value);
    SeriesBuf* b = memory::nodes[value.node()];
    std::memcpy(b->data(), at(m + 1), size_t(n) * sizeof(Cell));
    b->tail = n * 16;
    hashtable::put_all(value.data3, 0, 2, COMP_STRICT_EQUAL);
    uint32_t keep = at(m)->header & cell_flag::newline;
    *at(m) = value;
    at(m)->header = (at(m)->header & ~cell_flag::newline) | keep;
}

// Closes the innermost open series as `kind` (a "]" also closes a map; a set-path closes a path).
void close_series(Scan& s, int kind, uint32_t closer) {
    int64_t mi = open_marker(s);
    // A closer that does not fit is where the scan stopped: an error callback sees the input
    // at it (the console's delimiter check looks there for the stray bracket).
    if (mi < 0) {
        s.expected = kind;
        raise(s, closer, closer, -3);
    }
    uint32_t m = static_cast<uint32_t>(mi);
    int open_kind = marker_kind(m);
    if (open_kind == TYPE_POINT2D && kind == TYPE_PAREN) raise(s, at(m)->data3, closer + 1, TYPE_POINT2D);
    bool fits = open_kind == kind || (kind == TYPE_BLOCK && open_kind == TYPE_MAP) ||
                (kind == TYPE_SET_PATH && open_kind == TYPE_PATH);
    if (!fits) {
        s.expected = open_kind;
        // A path is quoted whole; a bracket that does not match is quoted where it stands.
        raise(s, path_kind_q(open_kind) ? int64_t(at(m)->data3) : int64_t(closer), closer, -3);
    }
    int final_kind = open_kind == TYPE_MAP ? TYPE_MAP : kind;
    if (!fire_event(s, EV_CLOSE, final_kind, nullptr, at(m)->data3, closer + 1)) {
        s.start_state = S_START;
        return;
    }
    // The event may have scanned text itself: the buffer may have moved, the marker has not.
    uint32_t enclosing = m - at(m)->data1;
    uint32_t keep = at(m)->header & cell_flag::newline;
    if (!s.load) {
        set_cell(at(m), TYPE_NONE);
    } else if (final_kind == TYPE_MAP) {
        build_map(s, m);
    } else {
        uint32_t n = s.tail - (m + 1);
        Node node = block::make_node(static_cast<int32_t>(n));
        SeriesBuf* b = memory::nodes[node];
        std::memcpy(b->data(), at(m + 1), size_t(n) * sizeof(Cell));
        b->tail = n * 16;
        set_cell(at(m), static_cast<uint8_t>(final_kind), 0, node);
    }
    at(m)->header |= keep;
    s.tail = m + 1;
    s.series_head = enclosing;
    s.depth--;
    s.start_state = inside_path(s) ? S_PATH : S_START;
    s.token_type = final_kind;
}

// ---------------------------------------------------------------------------------------------
// Text loading shared by strings, files, urls, emails, tags, refs and raw strings.

// Decodes the character at q, an escape when asked for and q is at a caret, into *cp; answers the
// bytes it takes, 0 when they are malformed.
[[gnu::always_inline]] inline int text_char(const uint8_t* q, const uint8_t* end, bool escapes, uint32_t* cp) {
    if (escapes && *q == '^') {
        int digits;
        return read_escape(q, end, cp, &digits);
    }
    return utf8_char(q, end, cp);
}

// Decodes [p, end) into a new string of the given type, escapes resolved when asked; malformed
// UTF-8 or a bad escape raises invalid with error_type. The cell is reserved first, so the new
// string is reachable as soon as it exists.
void load_text(Scan& s, const uint8_t* p, const uint8_t* end, bool escapes, uint8_t type, int error_type) {
    uint32_t count = 0, max_cp = 0;
    for (const uint8_t* q = p; q < end;) {
        uint32_t cp;
        int n = text_char(q, end, escapes, &cp);
        if (n == 0) raise(s, s.token_start, s.token_end, error_type);
        if (cp > max_cp) max_cp = cp;
        count++;
        q += n;
    }
    if (!s.load) return;
    uint32_t unit = max_cp > 0xFFFF ? 4 : (max_cp > 0xFF ? 2 : 1);
    uint32_t idx = append_cell(s);
    Node node = memory::alloc_series(static_cast<int32_t>(count ? count : 1), static_cast<int>(unit), 0);
    SeriesBuf* b = memory::nodes[node];
    uint8_t* out = b->data();
    if (unit == 1 && !escapes && max_cp < 0x80) {
        std::memcpy(out, p, count);
    } else {
        for (const uint8_t* q = p; q < end;) {
            uint32_t cp;
            int n = text_char(q, end, escapes, &cp);
            string::put_char(out, unit, cp);
            out += unit;
            q += n;
        }
    }
    b->tail = count * unit;
    uint32_t keep = at(idx)->header & cell_flag::newline;
    set_cell(at(idx), type, 0, node);
    at(idx)->header |= keep;
}

// Checks [p, end) as UTF-8 (with escapes when asked) without building.
bool text_ok(const uint8_t* p, const uint8_t* end, bool escapes) {
    for (const uint8_t* q = p; q < end;) {
        uint32_t cp;
        int n = text_char(q, end, escapes, &cp);
        if (n == 0) return false;
        q += n;
    }
    return true;
}

// Appends a word cell of a kind for a name.
void load_word(Scan& s, const uint8_t* name, size_t n, uint8_t kind) {
    uint32_t idx = append_cell(s);
    int32_t sym = symbol::make_alt(reinterpret_cast<const char*>(name), n);
    Cell w;
    word::make_global(&w, sym, kind);
    uint32_t keep = at(idx)->header & cell_flag::newline;
    *at(idx) = w;
    at(idx)->header = (at(idx)->header & ~cell_flag::newline) | keep;
}

// Appends a scalar value built in a local cell.
void put_value(Scan& s, const Cell& v) {
    uint32_t idx = append_cell(s);
    uint32_t keep = at(idx)->header & cell_flag::newline;
    *at(idx) = v;
    at(idx)->header = (at(idx)->header & ~cell_flag::newline) | keep;
}

// Values held whole in the cell: a 32-bit payload (integer!, char!) or a float (float!, percent!,
// time!).
[[gnu::always_inline]] inline void put_bits(Scan& s, uint8_t type, uint32_t bits) {
    Cell c;
    set_cell(&c, type, bits);
    put_value(s, c);
}
[[gnu::always_inline]] inline void put_float(Scan& s, uint8_t type, double d) {
    Cell c;
    set_cell(&c, type);
    c.set_f(d);
    put_value(s, c);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Number, time, date and money text. Each reader takes [p, end) and answers whether the text is
// well formed; the loaders turn a false answer into the invalid error of their type.

namespace {

bool digit_q(uint8_t c) { return c >= '0' && c <= '9'; }
bool letter_q(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The float syntax: optional sign; digits where a single "'" may separate two digits; optionally a
// point and more such digits; optionally e or E, an optional sign and at least one digit. A point
// alone, or digits followed by a bare point, pass.
bool float_syntax_q(const uint8_t* p, const uint8_t* end) {
    if (end - p > 312) return false;
    if (p < end && (*p == '+' || *p == '-')) p++;
    auto digits = [&](bool* any) {
        *any = false;
        while (p < end) {
            if (digit_q(*p)) {
                *any = true;
                p++;
            } else if (*p == '\'' && *any && p + 1 < end && digit_q(p[1])) {
                p++;
            } else {
                break;
            }
        }
    };
    bool int_digits, frac_digits = false, point = false;
    digits(&int_digits);
    if (p < end && *p == '.') {
        point = true;
        p++;
        digits(&frac_digits);
    }
    if (!int_digits && !frac_digits && !point) return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        if (!int_digits && !frac_digits) return false;
        p++;
        if (p < end && (*p == '+' || *p == '-')) p++;
        if (p == end || !digit_q(*p)) return false;
        while (p < end && digit_q(*p)) p++;
    }
    return p == end;
}

// The value of float text that passed the syntax check ("'" dropped; extra_exp scales it).
double float_value(const uint8_t* p, const uint8_t* end, int extra_exp, bool* ok) {
    char buf[320];
    size_t n = 0;
    for (const uint8_t* q = p; q < end && n < sizeof buf; q++)
        if (*q != '\'') buf[n++] = static_cast<char>(*q == ',' ? '.' : *q);
    int left = 0;
    double d = dtoa::strtod(buf, buf + n, extra_exp, &left);
    *ok = left == 0;
    return d;
}

enum IntResult { INT_OK, INT_FLOAT, INT_BAD };

// Integer text: optional sign, digits with single "'" separators. More than 10 digits, or a value
// beyond 32 bits (but for -2147483648), make it a float.
IntResult integer_value(const uint8_t* p, const uint8_t* end, int32_t* out) {
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end) return INT_BAD;
    int digits = 0;
    uint64_t v = 0;
    uint8_t previous = 0;
    for (; p < end; p++) {
        if (*p == '\'') {
            if (previous == '\'' || digits == 0 || p + 1 == end) return INT_BAD;
        } else if (digit_q(*p)) {
            digits++;
            if (v < 0x100000000ull) v = v * 10 + uint64_t(*p - '0');
        } else {
            return INT_BAD;
        }
        previous = *p;
    }
    if (digits == 0) return INT_BAD;
    if (digits > 10) return INT_FLOAT;
    if (negative ? v > 0x80000000ull : v > 0x7FFFFFFFull) return INT_FLOAT;
    *out = negative ? static_cast<int32_t>(0 - v) : static_cast<int32_t>(v);
    return INT_OK;
}

// Seconds text: digits with one optional point (or comma) and "'" separators, as long as any
// float text may be.
bool seconds_value(const uint8_t* p, const uint8_t* end, double* out) {
    uint8_t buf[320] = {};
    if (end - p <= 0 || end - p > 312) return false;
    size_t n = 0;
    for (const uint8_t* q = p; q < end; q++) {
        if (!digit_q(*q) && *q != '.' && *q != ',' && *q != '\'') return false;
        buf[n++] = *q == ',' ? '.' : *q;
    }
    if (!float_syntax_q(buf, buf + n)) return false;
    bool ok;
    *out = float_value(buf, buf + n, 0, &ok);
    return ok && *out >= 0;
}

// Time text: [+|-] hours ":" minutes [":" seconds], or [+|-] minutes ":" seconds "." fraction.
bool time_value(const uint8_t* p, const uint8_t* end, double* out) {
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    for (const uint8_t* q = p; q < end; q++)
        if (*q == 'e' || *q == 'E') return false;
    const uint8_t* colon = p;
    while (colon < end && *colon != ':') colon++;
    if (colon == end || colon == p) return false;
    int32_t first, second;
    if (integer_value(p, colon, &first) != INT_OK || first < 0) return false;
    const uint8_t* q = colon + 1;
    const uint8_t* m_end = q;
    while (m_end < end && (digit_q(*m_end) || *m_end == '\'')) m_end++;
    if (m_end == q || integer_value(q, m_end, &second) != INT_OK) return false;
    double hours = first, minutes = second, seconds = 0;
    if (m_end < end) {
        if (*m_end == '.' || *m_end == ',') {
            hours = 0;
            minutes = first;
            if (!seconds_value(q, end, &seconds)) return false;
        } else if (*m_end == ':') {
            if (!seconds_value(m_end + 1, end, &seconds)) return false;
        } else {
            return false;
        }
    }
    double total = seconds + minutes * 60 + hours * 3600;
    *out = negative ? -total : total;
    return true;
}

struct DateFields {
    int32_t year = 0, month = 1, day = 1;
    double seconds = 0;
    int32_t zone_h = 0, zone_m = 0;
    bool time = false;
    int32_t week = 0, weekday = 0, yearday = 0;  // the ISO week and ordinal forms
};

// Reads up to max digits; answers the count read.
int read_digits(const uint8_t*& p, const uint8_t* end, int max, int32_t* out) {
    int n = 0;
    int32_t v = 0;
    while (p < end && n < max && digit_q(*p)) {
        v = v * 10 + (*p - '0');
        p++;
        n++;
    }
    *out = v;
    return n;
}

// Seconds as digits and dots; an empty field leaves *secs alone.
bool read_seconds(const uint8_t*& p, const uint8_t* end, double* secs) {
    const uint8_t* s = p;
    while (p < end && (digit_q(*p) || *p == '.')) p++;
    if (p == s) return true;
    if (!float_syntax_q(s, p)) return false;
    bool ok;
    *secs = float_value(s, p, 0, &ok);
    return ok;
}

// Sets the time of day, then reads what may follow it: "Z" or a zone. The basic ISO form writes
// the zone as [+|-] hhmm, the others as [+|-] hh [":"] [mm].
[[gnu::always_inline]] inline bool set_time_and_zone(const uint8_t*& p, const uint8_t* end, DateFields& d, int32_t h,
                                                      int32_t m, double secs, bool basic) {
    if (h >= 24 || m >= 60 || !(secs < 60)) return false;
    d.seconds = secs + m * 60.0 + h * 3600.0;
    d.time = true;
    if (p < end && *p == 'Z') {
        p++;
    } else if (p < end && (*p == '+' || *p == '-')) {
        bool west = *p++ == '-';
        int32_t zh, zm = 0;
        if (basic) {
            if (read_digits(p, end, 2, &zh) != 2 || read_digits(p, end, 2, &zm) != 2) return false;
        } else {
            if (read_digits(p, end, 2, &zh) == 0) return false;
            if (p < end && *p == ':') p++;
            read_digits(p, end, 2, &zm);
        }
        if (zh > 15 || zm >= 60) return false;
        d.zone_h = west ? -zh : zh;
        d.zone_m = west ? -zm : zm;
    }
    return true;
}

// hours ":" minutes [":" seconds] ["Z" | zone].
bool read_time_part(const uint8_t*& p, const uint8_t* end, DateFields& d) {
    int32_t h, m;
    if (read_digits(p, end, 2, &h) == 0) return false;
    if (p == end || *p != ':') return false;
    p++;
    if (read_digits(p, end, 2, &m) == 0) return false;
    double secs = 0;
    if (p < end && *p == ':') {
        const uint8_t* s = ++p;
        if (!read_seconds(p, end, &secs) || p == s) return false;
    }
    return set_time_and_zone(p, end, d, h, m, secs, false);
}

// A year of two characters or fewer stands for 1950-2049.
int32_t widen_year(int32_t year, int chars) {
    if (chars < 3 && year >= 0 && year <= 99) return year < 50 ? 2000 + year : 1900 + year;
    return year;
}

// A day that exists in its month, in a year the date! value holds.
bool calendar_ok(const DateFields& d) {
    if (d.day < 1 || d.month < 1 || d.month > 12) return false;
    if (d.year < -9999 || d.year > 9999) return false;
    return d.day <= date::days_in_month(d.year, d.month);
}

bool date_value(const uint8_t* p, const uint8_t* end, DateFields& d) {
    static const char* const months[12] = {"january", "february", "march",     "april",   "may",      "june",
                                           "july",    "august",   "september", "october", "november", "december"};
    const uint8_t* first_start = p;
    bool neg1 = false;
    if (p < end && *p == '-') {
        neg1 = true;
        p++;
    }
    int32_t n1;
    int len1 = read_digits(p, end, 4, &n1);
    if (len1 == 0) return false;
    int chars1 = static_cast<int>(p - first_start);
    if (neg1) n1 = -n1;
    if (p < end && digit_q(*p)) {
        // Basic ISO form: yyyymmddThhmm[ss[.f]][Z|+hhmm].
        if (neg1 || len1 != 4) return false;
        int32_t mo, dd, hh, mi;
        if (read_digits(p, end, 2, &mo) != 2 || read_digits(p, end, 2, &dd) != 2) return false;
        if (p == end || *p != 'T') return false;
        p++;
        if (read_digits(p, end, 2, &hh) != 2 || read_digits(p, end, 2, &mi) != 2) return false;
        if (p == end) return false;
        d.year = n1;
        d.month = mo;
        d.day = dd;
        double secs = 0;
        if (!read_seconds(p, end, &secs) || !set_time_and_zone(p, end, d, hh, mi, secs, true)) return false;
        return p == end && calendar_ok(d);
    }
    if (p == end || (*p != '-' && *p != '/')) return false;
    uint8_t sep = *p++;
    if (sep == '-' && p < end && *p == 'W' && chars1 == 4 && !neg1) {
        // ISO week date: yyyy-Www[-d][Thh:mm...].
        p++;
        int32_t week, wd = 1;
        if (read_digits(p, end, 2, &week) != 2 || week < 1 || week > 53) return false;
        if (p < end && *p == '-') {
            p++;
            if (read_digits(p, end, 1, &wd) != 1 || wd < 1 || wd > 7) return false;
        }
        d.year = n1;
        d.week = week;
        d.weekday = wd;
        if (p < end && *p == 'T') {
            p++;
            if (!read_time_part(p, end, d)) return false;
        }
        return p == end;
    }
    {
        // Ordinal date: yyyy-ddd.
        const uint8_t* q = p;
        int32_t yd;
        int n = read_digits(q, end, 3, &yd);
        if (sep == '-' && n == 3 && (q == end || !digit_q(*q)) && (q == end || *q == 'T')) {
            if (yd < 1 || yd > (date::leap_year_q(n1) ? 366 : 365)) return false;
            p = q;
            d.year = n1;
            d.yearday = yd;
            if (p < end && *p == 'T') {
                p++;
                if (!read_time_part(p, end, d)) return false;
            }
            return p == end;
        }
    }
    int32_t month;
    if (p < end && digit_q(*p)) {
        read_digits(p, end, 2, &month);
    } else {
        const uint8_t* name = p;
        while (p < end && letter_q(*p)) p++;
        size_t n = size_t(p - name);
        if (n < 3 || n > 9) return false;
        month = 0;
        for (int m = 0; m < 12 && !month; m++) {
            size_t len = std::strlen(months[m]);
            if (n > len) continue;
            bool same = true;
            for (size_t i = 0; i < n && same; i++) same = (name[i] | 0x20) == static_cast<uint8_t>(months[m][i]);
            if (same) month = m + 1;
        }
        if (!month) return false;
    }
    if (p == end || *p != sep) return false;
    p++;
    const uint8_t* third_start = p;
    bool neg3 = false;
    if (p < end && *p == '-') {
        neg3 = true;
        p++;
    }
    int32_t n3;
    if (read_digits(p, end, 4, &n3) == 0) return false;
    int chars3 = static_cast<int>(p - third_start);
    if (neg3) n3 = -n3;
    int32_t day, year;
    // A first number written with three digits or more is a year (0005-03-02 is ISO's 2 March of
    // the year 5), however small; a shorter one below 100 is the day.
    if (n3 > 31 || n3 < 0 || (n1 < 100 && chars1 < 3)) {
        day = n1;
        year = widen_year(n3, chars3);
    } else {
        year = widen_year(n1, chars1);
        day = n3;
    }
    d.year = year;
    d.month = month;
    d.day = day;
    if (p < end && (*p == '/' || *p == 'T')) {
        p++;
        if (!read_time_part(p, end, d)) return false;
    }
    return p == end && calendar_ok(d);
}

// Money text: [+|-] [ccc] "$" digits ["." | "," decimals]; answers the parts.
struct MoneyText {
    bool negative = false;
    const uint8_t* code = nullptr;
    const uint8_t* dollar = nullptr;
    const uint8_t* point = nullptr;
};

bool money_syntax(const uint8_t* p, const uint8_t* end, MoneyText& m) {
    if (p < end && (*p == '+' || *p == '-')) m.negative = *p++ == '-';
    if (p < end && *p != '$') {
        m.code = p;
        while (p < end && letter_q(*p)) p++;
        if (p - m.code != 3) return false;
    }
    if (p == end || *p != '$') return false;
    m.dollar = p++;
    if (p == end || *p == '.' || *p == ',' || *p == '\'') return false;
    while (p < end && *p == '0' && p + 1 < end && digit_q(p[1])) p++;
    int digits = 0;
    uint8_t previous = '$';
    for (; p < end && *p != '.' && *p != ','; p++) {
        if (*p == '\'') {
            if (previous == '\'' || previous == '$') return false;
        } else if (digit_q(*p)) {
            digits++;
        } else {
            return false;
        }
        previous = *p;
    }
    if (previous == '\'' || digits > 17) return false;
    if (p < end) {
        m.point = p++;
        int decimals = 0;
        for (; p < end; p++) {
            if (!digit_q(*p)) return false;
            decimals++;
        }
        if (decimals > 5) return false;
    }
    return true;
}

bool make_money(Cell* out, const uint8_t* p, const uint8_t* end) {
    MoneyText m;
    if (!money_syntax(p, end, m)) return false;
    // Only the decimal mark's position matters, so a "," needs no rewriting.
    auto text = [](const uint8_t* q) { return reinterpret_cast<const char*>(q); };
    return money::make_from_text(out, m.negative, text(m.code), m.code ? 3 : 0, text(m.dollar),
                                 m.point ? text(m.point) : nullptr, text(end));
}

// Dotted decimal parts 0-255, at most 12.
bool tuple_value(const uint8_t* p, const uint8_t* end, uint8_t* bytes, int* count) {
    int n = 0;
    while (true) {
        int32_t v = 0;
        int digits = 0;
        while (p < end && digit_q(*p)) {
            v = v * 10 + (*p - '0');
            if (v > 255) return false;
            p++;
            digits++;
        }
        if (digits == 0 || n == 12) return false;
        bytes[n++] = static_cast<uint8_t>(v);
        if (p == end) break;
        if (*p != '.') return false;
        p++;
    }
    *count = n;
    return true;
}

// Conversion text in string units, narrowed to bytes (a character above 127 is no number).
bool narrow(const uint8_t* units, int32_t count, int unit, std::string& out) {
    out.clear();
    if (count < 0) return false;
    out.reserve(size_t(count));
    for (int32_t i = 0; i < count; i++) {
        uint32_t c = string::get_char(units + size_t(i) * unit, static_cast<uint32_t>(unit));
        if (c > 127) return false;
        out.push_back(static_cast<char>(c));
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scanners (structural tokens, and the checks of strings, words and issues) and loaders. Every
// one sets the position where scanning goes on.

namespace {

const uint8_t* tok(const Scan& s) { return s.input + s.token_start; }
const uint8_t* tok_end(const Scan& s) { return s.input + s.token_end; }

bool point_char_q(uint8_t b) {
    switch (b) {
        case '\t': case ' ': case '#': case '+': case '-': case '.': case 'A': case 'E': case 'F': case 'I': case 'N':
        case 'a': case 'e': case 'f': case 'i': case 'n': return true;
        default: return digit_q(b);
    }
}

// Whether the text after a "(" at p is the start of a point literal.
bool point_ahead(const Scan& s, uint32_t p) {
    if (p > s.length || s.length - p < 4) return false;
    for (; p < s.length; p++) {
        uint8_t b = s.input[p];
        if (b == ',') return true;
        // A digit separator, as in (1'000, 2).
        if (b == '\'' && digit_q(s.input[p - 1])) continue;
        if (!point_char_q(b)) return false;
    }
    return true;
}

void scan_end(Scan& s) { s.pos = s.length; }

void scan_error(Scan& s) {
    int type = state_type[s.prev_state];
    int code = type;
    int64_t pos = s.token_start;
    if (s.prev_state == S_START || type == 0) code = -1;
    if (type == kTypeMalconstruct) code = -2;
    if (type == TYPE_BLOCK || type == TYPE_PAREN || path_kind_q(type)) pos = -1;
    if (s.start_state == S_BRACE) {
        pos = s.brace_start;
        code = TYPE_STRING;
    }
    if (s.start_state == S_POINT && pos > 0) pos--;  // quote the point from its paren
    // The scan stopped at the byte no token takes: an error callback sees the input there, so
    // stepping one character on passes that byte and no more.
    raise(s, pos, s.token_end, code);
}

void scan_open(Scan& s, int kind) {
    uint32_t opener = s.token_end;
    s.pos = opener + 1;
    if (kind == TYPE_PAREN && point_ahead(s, opener + 1)) {
        s.point_lines = s.token_lines;
        s.token_type = 0;
        s.start_state = S_POINT;
        return;
    }
    if (open_series(s, kind, opener)) s.start_state = S_START;
}

void scan_close(Scan& s, int kind) {
    s.pos = s.token_end + 1;
    close_series(s, kind, s.token_end);
}

void scan_brace_open(Scan& s) {
    uint32_t b = s.token_end;
    s.pos = b + 1;
    if (s.brace_depth == 0) {
        if (!fire_event(s, EV_OPEN, TYPE_STRING, nullptr, b, b + 1)) return;
        s.brace_start = b;
        s.brace_flags = s.token_lines > 0 ? flag::after_line : 0;
        s.brace_lines = s.token_lines;
        s.start_state = S_BRACE;
    }
    s.brace_flags |= s.flags;
    s.brace_depth++;
}

void scan_brace_close(Scan& s) {
    uint32_t b = s.token_end;
    s.pos = b + 1;
    s.brace_flags |= s.flags;
    if (--s.brace_depth > 0) {
        if (b + 1 >= s.length) raise(s, s.brace_start, b + 1, TYPE_STRING);
        return;
    }
    uint32_t start = s.brace_start;
    s.start_state = S_START;
    s.token_type = TYPE_STRING;
    if (!fire_event(s, EV_CLOSE, TYPE_STRING, nullptr, start, b + 1)) return;
    // Errors and events quote the whole string from its opening brace.
    s.token_start = start;
    s.token_end = b + 1;
    const uint8_t* from = s.input + start + 1;
    const uint8_t* to = s.input + b;
    if (!s.load) {
        if (!text_ok(from, to, true)) raise(s, start, b + 1, TYPE_STRING);
        return;
    }
    if (!fire_event(s, EV_SCAN, TYPE_STRING, nullptr, start, b + 1)) return;
    s.token_lines = s.brace_lines;
    uint32_t before = s.tail;
    load_text(s, from, to, true, TYPE_STRING, TYPE_STRING);
    if (s.trace && s.tail > before) {
        Cell v = *at(before);
        if (!fire_event(s, EV_LOAD, TYPE_STRING, &v, start, b + 1)) s.tail = before;
    }
    s.brace_depth = 0;
    s.brace_flags = 0;
}

void scan_map_open(Scan& s) {
    s.pos = s.token_end + 1;
    if (open_series(s, TYPE_MAP, s.token_start)) s.start_state = S_START;
}

// A word's name bytes: valid UTF-8 without Unicode white space.
bool name_ok(const uint8_t* p, const uint8_t* end) {
    for (const uint8_t* q = p; q < end;) {
        uint32_t cp;
        int n = utf8_char(q, end, &cp);
        if (n == 0 || unicode_space_q(cp)) return false;
        q += n;
    }
    return true;
}

void scan_path(Scan& s) {
    uint32_t head = s.token_start, slash = s.token_end;
    uint8_t c0 = s.input[head];
    int kind = c0 == '\'' ? TYPE_LIT_PATH : (c0 == ':' ? TYPE_GET_PATH : TYPE_PATH);
    uint32_t name = head + (kind == TYPE_PATH ? 0 : 1);
    s.pos = slash + 1;
    if (!name_ok(s.input + name, s.input + slash)) raise(s, head, slash, TYPE_WORD);
    if (!open_series(s, kind, head)) {
        // No path: the head stays a word of its own.
        if (s.load) load_word(s, s.input + name, slash - name, TYPE_WORD);
        return;
    }
    s.kind_hint = TYPE_WORD;
    s.start_state = S_PATH;
    if (!s.load) return;
    if (!fire_event(s, EV_SCAN, TYPE_WORD, nullptr, head, slash)) return;
    uint32_t before = s.tail;
    load_word(s, s.input + name, slash - name, TYPE_WORD);
    if (s.trace) {
        Cell v = *at(before);
        if (!fire_event(s, EV_LOAD, TYPE_WORD, &v, head, slash)) s.tail = before;
    }
}

void scan_construct(Scan& s) {
    const uint8_t* p = tok(s) + 2;
    size_t n = size_t(tok_end(s) - p);
    s.pos = s.token_end + 1;
    Cell v;
    if (ascii_equal_nocase(p, n, "true"))
        set_cell(&v, TYPE_LOGIC, 1);
    else if (ascii_equal_nocase(p, n, "false"))
        set_cell(&v, TYPE_LOGIC, 0);
    else if (ascii_equal_nocase(p, n, "none"))
        set_cell(&v, TYPE_NONE);
    else if (ascii_equal_nocase(p, n, "unset"))
        set_cell(&v, TYPE_UNSET);
    else {
        int found = 0;
        for (int t = 1; t <= datatype::top_id && !found; t++) {
            const char* name = datatype::name_of(t);
            if (*name && ascii_equal_nocase(p, n, name)) found = t;
        }
        if (!found) raise(s, s.token_start, s.token_end + 1, -2);
        datatype::make_at(&v, found);
    }
    s.token_type = v.type();
    if (s.load) put_value(s, v);
}

void scan_comment(Scan& s) {
    s.pos = s.token_end;
    fire_event(s, EV_SCAN, -T_COMMENT, nullptr, s.token_start, s.token_end);
}

void scan_comma(Scan& s) {
    uint32_t c = s.token_end;
    s.pos = c + 1;
    int64_t m = open_marker(s);
    if (m >= 0) {
        uint32_t mi = static_cast<uint32_t>(m);
        int kind = marker_kind(mi);
        if (kind == TYPE_PAREN || kind == TYPE_POINT2D) {
            uint32_t commas = (at(mi)->data2 >> 16) + 1;
            at(mi)->data2 = TYPE_POINT2D | (commas << 16);
            return;
        }
    }
    raise(s, c, c, TYPE_POINT2D);  // the input stands at the comma, where the scan stopped
}

// ---- strings, words, issues ----

void check_string(Scan& s) {
    s.pos = s.token_end + 1;
    if (!text_ok(tok(s) + 1, tok_end(s), true)) invalid(s, TYPE_STRING);
}

void load_string(Scan& s, bool load) {
    s.pos = s.token_end + 1;
    if (!load) return;
    load_text(s, tok(s) + 1, tok_end(s), true, TYPE_STRING, TYPE_STRING);
}

void check_word(Scan& s) {
    const uint8_t* p = tok(s);
    const uint8_t* e = tok_end(s);
    if (s.flags & flag::non_ascii) {
        // Unicode white space ends the word.
        for (const uint8_t* q = p; q < e;) {
            uint32_t cp;
            int n = utf8_char(q, e, &cp);
            if (n == 0) invalid(s, TYPE_WORD);
            if (unicode_space_q(cp)) {
                e = q;
                s.token_end = static_cast<uint32_t>(e - s.input);
                break;
            }
            q += n;
        }
    }
    s.pos = s.token_end;
    bool lit = *p == '\'', get = *p == ':';
    bool set = e - p > 1 && e[-1] == ':';
    const uint8_t* name = p + (lit || get ? 1 : 0);
    const uint8_t* name_end = e - (set ? 1 : 0);
    if (lit && set) invalid(s, TYPE_LIT_WORD);
    // A word cannot be read and set at once: :x: is no get-word with its colon dropped.
    if (get && set) invalid(s, TYPE_GET_WORD);
    if (name_end <= name) invalid(s, TYPE_WORD);
    for (const uint8_t* q = name; q < name_end; q++)
        if (*q == ':') invalid(s, TYPE_WORD);
    s.kind_hint = lit ? TYPE_LIT_WORD : (get ? TYPE_GET_WORD : (set ? TYPE_SET_WORD : TYPE_WORD));
    s.name_from = static_cast<uint32_t>(name - s.input);
    s.name_to = static_cast<uint32_t>(name_end - s.input);
}

void load_word_token(Scan& s, bool load) {
    if (!load) return;
    load_word(s, s.input + s.name_from, s.name_to - s.name_from, static_cast<uint8_t>(s.kind_hint));
}

void check_issue(Scan& s) {
    s.pos = s.token_end;
    s.kind_hint = TYPE_ISSUE;
    if (s.token_end - s.token_start < 2 || *tok(s) != '#') invalid(s, TYPE_ISSUE);
    if (!text_ok(tok(s) + 1, tok_end(s), false)) invalid(s, TYPE_ISSUE);
}

void load_issue(Scan& s, bool load) {
    if (!load) return;
    load_word(s, tok(s) + 1, s.token_end - s.token_start - 1, TYPE_ISSUE);
}

// ---- numbers ----

void load_float_text(Scan& s, const uint8_t* p, const uint8_t* e, int extra_exp, uint8_t type, bool load) {
    if (!float_syntax_q(p, e)) invalid(s, type == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT);
    bool ok;
    double d = float_value(p, e, extra_exp, &ok);
    if (!ok) invalid(s, type == TYPE_PERCENT ? TYPE_PERCENT : TYPE_FLOAT);
    if (load) put_float(s, type, d);
}

void load_integer(Scan& s, bool load) {
    s.pos = s.token_end;
    int32_t v;
    switch (integer_value(tok(s), tok_end(s), &v)) {
        case INT_OK: {
            if (load) put_bits(s, TYPE_INTEGER, static_cast<uint32_t>(v));
            return;
        }
        case INT_FLOAT:
            s.token_type = TYPE_FLOAT;
            load_float_text(s, tok(s), tok_end(s), 0, TYPE_FLOAT, load);
            return;
        default: invalid(s, TYPE_INTEGER);
    }
}

void load_hex(Scan& s, bool load) {
    s.pos = s.token_end;
    const uint8_t* p = tok(s);
    const uint8_t* e = tok_end(s) - 1;  // before the h
    size_t n = size_t(e - p);
    if (n == 1 && !digit_q(*p)) invalid(s, TYPE_WORD);
    if (n < 2 || n > 8) invalid(s, TYPE_INTEGER);
    uint32_t v = 0;
    for (const uint8_t* q = p; q < e; q++) {
        int d = hex_digit(*q);
        if (d < 0) invalid(s, TYPE_INTEGER);
        v = (v << 4) | uint32_t(d);
    }
    if (load) put_bits(s, TYPE_INTEGER, v);
}

void load_float(Scan& s, bool load) {
    s.pos = s.token_end;
    load_float_text(s, tok(s), tok_end(s), 0, TYPE_FLOAT, load);
}

void load_percent(Scan& s, bool load) {
    s.pos = s.token_end + 1;
    load_float_text(s, tok(s), tok_end(s), -2, TYPE_PERCENT, load);
}

void load_special(Scan& s, bool load) {
    s.pos = s.token_end;
    const uint8_t* p = tok(s);
    const uint8_t* e = tok_end(s);
    bool negative = false;
    if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (e - p != 6 || std::memcmp(p, "1.#", 3) != 0) invalid(s, TYPE_FLOAT);
    double d;
    if (ascii_equal_nocase(p + 3, 3, "nan"))
        d = std::numeric_limits<double>::quiet_NaN();
    else if (ascii_equal_nocase(p + 3, 3, "inf"))
        d = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    else
        invalid(s, TYPE_FLOAT);
    if (load) put_float(s, TYPE_FLOAT, d);
}

void load_tuple(Scan& s, bool load) {
    s.pos = s.token_end;
    uint8_t bytes[12];
    int n;
    if (!tuple_value(tok(s), tok_end(s), bytes, &n)) invalid(s, TYPE_TUPLE);
    if (!load) return;
    Cell c;
    set_cell(&c, TYPE_NONE);
    tuple::make_at(&c, bytes, n);
    put_value(s, c);
}

void load_pair(Scan& s, bool load) {
    s.pos = s.token_end;
    const uint8_t* p = tok(s);
    const uint8_t* e = tok_end(s);
    const uint8_t* x = p;
    for (const uint8_t* q = p; q < e; q++)
        if (*q == '.') invalid(s, TYPE_PAIR);
    while (x < e && *x != 'x' && *x != 'X') x++;
    int32_t a, b;
    if (x == e || integer_value(p, x, &a) != INT_OK || integer_value(x + 1, e, &b) != INT_OK) invalid(s, TYPE_PAIR);
    if (!load) return;
    Cell c;
    set_cell(&c, TYPE_NONE);
    pair::make_at(&c, a, b);
    put_value(s, c);
}

void load_time(Scan& s, bool load) {
    s.pos = s.token_end;
    double t;
    if (!time_value(tok(s), tok_end(s), &t)) invalid(s, TYPE_TIME);
    if (load) put_float(s, TYPE_TIME, t);
}

void load_date(Scan& s, bool load) {
    s.pos = s.token_end;
    DateFields d;
    if (!date_value(tok(s), tok_end(s), d)) invalid(s, TYPE_DATE);
    if (!load) return;
    Cell c;
    set_cell(&c, TYPE_NONE);
    date::make_from_fields(&c, d.year, d.month, d.day, d.seconds, d.zone_h, d.zone_m, d.time);
    if (d.week) {
        date::set_week(&c, d.week);
        date::set_weekday(&c, d.weekday);
    } else if (d.yearday) {
        date::set_yearday(&c, d.yearday);
    }
    put_value(s, c);
}

void load_money(Scan& s, bool load) {
    s.pos = s.token_end;
    Cell c;
    set_cell(&c, TYPE_NONE);
    if (!make_money(&c, tok(s), tok_end(s))) invalid(s, TYPE_MONEY);
    if (load) put_value(s, c);
}

// A double narrowed to a 32-bit float as IEEE rounding does it: beyond the largest float (by at
// least half a step) it is an infinity.
float narrow_float(double d) {
    constexpr double kOverflow = 3.4028235677973366e38;  // FLT_MAX plus half its last step
    if (d >= kOverflow) return std::numeric_limits<float>::infinity();
    if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
    if (d > 3.4028234663852886e38) return 3.4028234663852886e38f;
    if (d < -3.4028234663852886e38) return -3.4028234663852886e38f;
    return static_cast<float>(d);
}

// Components of a point literal: "(" already read; the token runs to its ")".
void load_point(Scan& s, bool load) {
    s.pos = s.token_end + 1;
    s.start_state = inside_path(s) ? S_PATH : S_START;
    int64_t err_pos = int64_t(s.token_start) - 1;
    const uint8_t* p = tok(s);
    const uint8_t* e = tok_end(s);
    float coords[3];
    int n = 0;
    while (true) {
        const uint8_t* c = p;
        while (c < e && *c != ',') c++;
        const uint8_t* a = p;
        const uint8_t* b = c;
        while (a < b && (*a == ' ' || *a == '\t' || *a == '\r')) a++;
        while (b > a && (b[-1] == ' ' || b[-1] == '\t' || b[-1] == '\r')) b--;
        int type = n < 2 ? TYPE_POINT2D : TYPE_POINT3D;
        if (a == b || n == 3) raise(s, err_pos, s.token_end + 1, type);
        bool special = false;
        for (const uint8_t* q = a; q < b; q++) special |= *q == '#';
        double d;
        if (special) {
            const uint8_t* q = a;
            bool negative = false;
            if (*q == '+' || *q == '-') negative = *q++ == '-';
            if (b - q != 6 || std::memcmp(q, "1.#", 3) != 0) raise(s, err_pos, s.token_end + 1, type);
            if (ascii_equal_nocase(q + 3, 3, "nan"))
                d = std::numeric_limits<double>::quiet_NaN();
            else if (ascii_equal_nocase(q + 3, 3, "inf"))
                d = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
            else
                raise(s, err_pos, s.token_end + 1, type);
        } else {
            bool ok = float_syntax_q(a, b);
            d = ok ? float_value(a, b, 0, &ok) : 0;
            if (!ok) raise(s, err_pos, s.token_end + 1, type);
        }
        coords[n++] = narrow_float(d);
        if (c == e) break;
        p = c + 1;
    }
    if (n < 2) raise(s, err_pos, s.token_end + 1, TYPE_POINT2D);
    s.token_type = n == 2 ? TYPE_POINT2D : TYPE_POINT3D;
    if (!load) return;
    s.token_lines = s.point_lines;
    Cell v;
    set_cell(&v, TYPE_NONE);
    if (n == 2)
        point2D::make_at(&v, coords[0], coords[1]);
    else
        point3D::make_at(&v, coords[0], coords[1], coords[2]);
    put_value(s, v);
}

// ---- refinements, chars ----

void load_refinement(Scan& s, bool load) {
    s.pos = s.token_end;
    const uint8_t* p = tok(s);
    size_t n = s.token_end - s.token_start;
    static const uint8_t slash[] = {'/'};
    uint8_t kind = 0;
    if (n == 1 && p[0] == '/')
        kind = TYPE_WORD;
    else if (n == 2 && p[0] == '/' && p[1] == ':')
        kind = TYPE_SET_WORD;
    else if (n == 2 && p[0] == '\'' && p[1] == '/')
        kind = TYPE_LIT_WORD;
    else if (n == 2 && p[0] == ':' && p[1] == '/')
        kind = TYPE_GET_WORD;
    if (kind) {
        s.kind_hint = kind;
        if (load) load_word(s, slash, 1, kind);
        return;
    }
    if (p[0] != '/' || n < 2 || !name_ok(p + 1, p + n)) invalid(s, TYPE_REFINEMENT);
    s.kind_hint = TYPE_REFINEMENT;
    if (load) load_word(s, p + 1, n - 1, TYPE_REFINEMENT);
}

void load_char(Scan& s, bool load) {
    s.pos = s.token_end + 1;
    const uint8_t* p = tok(s) + 2;
    const uint8_t* e = tok_end(s);
    if (p >= e) invalid(s, TYPE_CHAR);
    uint32_t cp;
    int n = text_char(p, e, true, &cp);
    if (n == 0 || p + n != e || cp >= 0x110000) invalid(s, TYPE_CHAR);
    if (load) put_bits(s, TYPE_CHAR, cp);
}

// ---- files, urls, emails, tags, refs ----

// A string value of a type from raw text, percent-decoded when asked.
void load_raw_text(Scan& s, const uint8_t* p, const uint8_t* e, uint8_t type, bool decode, int error_type) {
    if (!text_ok(p, e, false)) raise(s, s.token_start, s.token_end, error_type);
    if (!s.load) return;
    if (!decode) {
        load_text(s, p, e, false, type, error_type);
        return;
    }
    uint32_t idx = append_cell(s);
    Node node = string::make_node(static_cast<int32_t>(e - p + 1), 1);
    uint32_t keep = at(idx)->header & cell_flag::newline;
    set_cell(at(idx), type, 0, node);
    at(idx)->header |= keep;
    url::decode(p, size_t(e - p), node);
}

bool contains(const uint8_t* p, const uint8_t* e, uint8_t c) { return std::memchr(p, c, size_t(e - p)) != nullptr; }

void load_file(Scan& s, bool load) {
    const uint8_t* p = tok(s);
    const uint8_t* e = tok_end(s);
    s.kind_hint = TYPE_FILE;
    if (e - p >= 2 && p[1] == '"') {
        s.pos = s.token_end + 1;
        if (!load) {
            if (!text_ok(p + 2, e, true)) invalid(s, TYPE_FILE);
            return;
        }
        load_text(s, p + 2, e, true, TYPE_FILE, TYPE_FILE);
        return;
    }
    s.pos = s.token_end;
    if (e - p == 1) {
        // A lone "%" is a word.
        s.kind_hint = TYPE_WORD;
        if (load) load_word(s, p, 1, TYPE_WORD);
        return;
    }
    if (!load) {
        if (!text_ok(p + 1, e, false)) invalid(s, TYPE_FILE);
        return;
    }
    load_raw_text(s, p + 1, e, TYPE_FILE, contains(p + 1, e, '%'), TYPE_FILE);
}

void load_url(Scan& s, bool load) {
    s.pos = s.token_end;
    const uint8_t* p = tok(s);
    const uint8_t* e = tok_end(s);
    if (*p == ':') invalid(s, TYPE_GET_WORD);
    if (*p == '\'') invalid(s, TYPE_LIT_WORD);
    s.kind_hint = TYPE_URL;
    // ">" and "^" are refused in the whole url, the word before its colon included: >:x or a>b:c
    // would mold with an escape that no longer reads back as this url.
    if (s.flags & (flag::gt | flag::caret)) invalid(s, TYPE_URL);
    if (!load) {
        if (!text_ok(p, e, false)) invalid(s, TYPE_URL);
        return;
    }
    load_raw_text(s, p, e, TYPE_URL, contains(p, e, '%'), TYPE_URL);
}

void load_email(Scan& s, bool load) {
    s.pos = s.token_end;
    s.kind_hint = TYPE_EMAIL;
    if (!load) {
        if (!text_ok(tok(s), tok_end(s), false)) invalid(s, TYPE_EMAIL);
        return;
    }
    load_raw_text(s, tok(s), tok_end(s), TYPE_EMAIL, false, TYPE_EMAIL);
}

void load_tag(Scan& s, bool load) {
    s.pos = s.token_end + 1;
    s.kind_hint = TYPE_TAG;
    if (*tok(s) != '<') invalid(s, TYPE_TAG);
    if (!load) {
        if (!text_ok(tok(s) + 1, tok_end(s), false)) invalid(s, TYPE_TAG);
        return;
    }
    load_raw_text(s, tok(s) + 1, tok_end(s), TYPE_TAG, false, TYPE_TAG);
}

void load_ref(Scan& s, bool load) {
    s.pos = s.token_end;
    s.kind_hint = TYPE_REF;
    if (s.token_end - s.token_start < 2) invalid(s, TYPE_REF);
    if (!load) {
        if (!text_ok(tok(s) + 1, tok_end(s), false)) invalid(s, TYPE_REF);
        return;
    }
    load_raw_text(s, tok(s) + 1, tok_end(s), TYPE_REF, false, TYPE_REF);
}

// %{...}%, %%{...}%% ...: the closing brace must be followed by as many "%" as opened the string.
void load_raw_string(Scan& s, bool load) {
    const uint8_t* p = tok(s);
    const uint8_t* e = tok_end(s);
    uint32_t open = 0;
    while (p + open < e && p[open] == '%') open++;
    uint32_t close = 0;
    while (close < uint32_t(e - p) && e[-1 - int(close)] == '%') close++;
    const uint8_t* text = p + open + 1;
    const uint8_t* text_end;
    uint32_t after;
    if (close == open) {
        text_end = e - close - 1;
        after = s.token_end;
    } else if (close < open) {
        // The token stopped at a shorter run: search on for "}" followed by the full run.
        const uint8_t* q = e;
        const uint8_t* found = nullptr;
        const uint8_t* limit = s.input + s.length;
        for (; q < limit && !found; q++) {
            if (*q != '}' || uint32_t(limit - q - 1) < open) continue;
            uint32_t k = 0;
            while (k < open && q[1 + k] == '%') k++;
            if (k == open) found = q;
        }
        if (!found) raise(s, s.token_start, s.length, TYPE_STRING);
        // A traced load runs this twice (check, then build): the lines past the token count once.
        if (s.pos == s.token_end)
            for (const uint8_t* r = e; r < found; r++) s.line += *r == '\n';
        text_end = found;
        after = static_cast<uint32_t>(found - s.input) + 1 + open;
    } else {
        raise(s, s.token_start, s.token_end, TYPE_STRING);
    }
    s.pos = after;
    if (!load) {
        if (fire_event(s, EV_OPEN, TYPE_STRING, nullptr, s.token_start, s.token_start + open + 1))
            fire_event(s, EV_CLOSE, TYPE_STRING, nullptr, s.token_start, after);
        if (!text_ok(text, text_end, false)) raise(s, s.token_start, after, TYPE_STRING);
        return;
    }
    load_text(s, text, text_end, false, TYPE_STRING, TYPE_STRING);
}

// ---- binaries ----

void load_binary(Scan& s, bool load) {
    s.pos = s.token_end + 1;
    const uint8_t* p = tok(s);
    const uint8_t* e = tok_end(s);
    const uint8_t* brace = p;
    while (brace < e && *brace != '{') brace++;
    int base = 16;
    if (*p != '#') {
        // Only plain digits name a base: 2, 16 or 64.
        int32_t b = 0;
        for (const uint8_t* q = p; q < e && *q != '#'; q++) b = digit_q(*q) && b < 1000 ? b * 10 + (*q - '0') : 1000;
        base = b;
        if (base != 2 && base != 16 && base != 64) invalid(s, TYPE_BINARY);
    }
    const uint8_t* text = brace + 1;
    size_t len = size_t(e - text);
    size_t cap = base == 16 ? len / 2 : (base == 64 ? (len + 3) * 3 / 4 : len / 8);
    std::string out;
    out.reserve(cap);
    auto blank = [](uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    const uint8_t* q = text;
    // Moves q to the next digit: past the characters skipped and comments; false at the end.
    auto next = [&](auto skipped) {
        for (; q < e; q++) {
            if (*q == ';') {
                while (q < e && *q != '\n') q++;
                if (q == e) break;
            } else if (!skipped(*q)) {
                return true;
            }
        }
        return false;
    };
    if (base == 16) {
        int pending = -1;
        for (; next(blank); q++) {
            int d = hex_digit(*q);
            if (d < 0) invalid(s, TYPE_BINARY);
            if (pending < 0) {
                pending = d;
            } else {
                out.push_back(static_cast<char>(pending * 16 + d));
                pending = -1;
            }
        }
        if (pending >= 0) invalid(s, TYPE_BINARY);
    } else if (base == 2) {
        int bits = 0, acc = 0;
        for (; next(blank); q++) {
            if (*q != '0' && *q != '1') invalid(s, TYPE_BINARY);
            acc = acc * 2 + (*q - '0');
            if (++bits == 8) {
                out.push_back(static_cast<char>(acc));
                bits = acc = 0;
            }
        }
        if (bits) invalid(s, TYPE_BINARY);
    } else {
        auto value64 = [](uint8_t c) -> int {
            if (c >= 'A' && c <= 'Z') return c - 'A';
            if (c >= 'a' && c <= 'z') return c - 'a' + 26;
            if (c >= '0' && c <= '9') return c - '0' + 52;
            if (c == '+') return 62;
            if (c == '/') return 63;
            return -1;
        };
        auto skip64 = [](uint8_t c) { return c == 8 || c == '\t' || c == '\n' || c == 12 || c == '\r' || c == ' ' || c == '\''; };
        uint32_t acc = 0;
        int pending = 0, pads = 0, wanted_pads = 0;
        for (; next(skip64); q++) {
            if (*q == '=') {
                if (pads == 0) {
                    // Padding after two characters stands for one byte, after three for two.
                    if (pending == 2) {
                        out.push_back(static_cast<char>(acc >> 4));
                        wanted_pads = 2;
                    } else if (pending == 3) {
                        out.push_back(static_cast<char>(acc >> 10));
                        out.push_back(static_cast<char>((acc >> 2) & 0xFF));
                        wanted_pads = 1;
                    } else {
                        invalid(s, TYPE_BINARY);
                    }
                    pending = 0;
                }
                if (++pads > wanted_pads) invalid(s, TYPE_BINARY);
                continue;
            }
            int v = value64(*q);
            if (v < 0 || pads) invalid(s, TYPE_BINARY);
            acc = (acc << 6) | uint32_t(v);
            if (++pending == 4) {
                out.push_back(static_cast<char>((acc >> 16) & 0xFF));
                out.push_back(static_cast<char>((acc >> 8) & 0xFF));
                out.push_back(static_cast<char>(acc & 0xFF));
                pending = 0;
                acc = 0;
            }
        }
        if (pending || pads != wanted_pads) invalid(s, TYPE_BINARY);
    }
    if (!load) return;
    uint32_t idx = append_cell(s);
    Cell v;
    binary::load_at(&v, reinterpret_cast<const uint8_t*>(out.data()), out.size());
    uint32_t keep = at(idx)->header & cell_flag::newline;
    *at(idx) = v;
    at(idx)->header |= keep;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The token loop.

namespace {

bool has_scanner(int t) { return t <= T_ISSUE; }

// Structural tokens (and the checks of strings, words and issues).
void run_scanner(Scan& s, int t) {
    switch (t) {
        case T_END: scan_end(s); return;
        case T_ERROR: scan_error(s); return;
        case T_BLOCK_OPEN: scan_open(s, TYPE_BLOCK); return;
        case T_BLOCK_CLOSE: scan_close(s, TYPE_BLOCK); return;
        case T_PAREN_OPEN: scan_open(s, TYPE_PAREN); return;
        case T_PAREN_CLOSE: scan_close(s, TYPE_PAREN); return;
        case T_BRACE_OPEN: scan_brace_open(s); return;
        case T_BRACE_CLOSE: scan_brace_close(s); return;
        case T_MAP_OPEN: scan_map_open(s); return;
        case T_PATH: scan_path(s); return;
        case T_CONSTRUCT: scan_construct(s); return;
        case T_COMMENT: scan_comment(s); return;
        case T_COMMA: scan_comma(s); return;
        case T_STRING: check_string(s); return;
        case T_WORD: check_word(s); return;
        case T_ISSUE: check_issue(s); return;
        default: return;
    }
}

void run_loader(Scan& s, int t, bool load) {
    switch (t) {
        case T_STRING: load_string(s, load); return;
        case T_WORD: load_word_token(s, load); return;
        case T_ISSUE: load_issue(s, load); return;
        case T_INTEGER: load_integer(s, load); return;
        case T_REFINEMENT: load_refinement(s, load); return;
        case T_CHAR: load_char(s, load); return;
        case T_FILE: load_file(s, load); return;
        case T_BINARY: load_binary(s, load); return;
        case T_PERCENT: load_percent(s, load); return;
        case T_FLOAT: load_float(s, load); return;
        case T_SPECIAL_FLOAT: load_special(s, load); return;
        case T_TUPLE: load_tuple(s, load); return;
        case T_DATE: load_date(s, load); return;
        case T_PAIR: load_pair(s, load); return;
        case T_POINT: load_point(s, load); return;
        case T_TIME: load_time(s, load); return;
        case T_MONEY: load_money(s, load); return;
        case T_TAG: load_tag(s, load); return;
        case T_URL: load_url(s, load); return;
        case T_EMAIL: load_email(s, load); return;
        case T_HEX: load_hex(s, load); return;
        case T_RAW_STRING: load_raw_string(s, load); return;
        case T_REF: load_ref(s, load); return;
        default: return;
    }
}

// Value tokens: the check (scan step), then the load.
void handle_value(Scan& s, int t) {
    // The loaders of values that a callback may not want built still check their token.
    bool scan_step = !s.load || has_scanner(t) || (s.trace && (s.trace->mask & EV_SCAN));
    bool build = true;
    uint32_t start = t == T_POINT ? s.token_start - 1 : s.token_start;
    if (scan_step) {
        if (has_scanner(t))
            run_scanner(s, t);
        else
            run_loader(s, t, false);
        if (s.trace) {
            int32_t type = s.kind_hint > 0 ? s.kind_hint : s.token_type;
            build = fire_event(s, EV_SCAN, type, nullptr, start, s.pos);
            if (s.resumed) return;
        }
    }
    if (!s.load || !build) return;
    uint32_t before = s.tail;
    run_loader(s, t, true);
    if (s.trace && s.tail > before) {
        Cell v = *at(before);
        if (!fire_event(s, EV_LOAD, v.type(), &v, start, s.pos)) s.tail = before;
    }
}

// Skips a token a trace callback refused.
void skip_token(Scan& s, int t) {
    if (t == T_END) {
        s.pos = s.length;
        return;
    }
    s.pos = closed_by_stop_byte(t) ? s.token_end + 1 : s.token_end;
    if (s.pos <= s.token_start) s.pos = s.token_start + 1;
    if (s.pos > s.length) s.pos = s.length;
}

// After a path element: "/" goes on to the next element, ":" makes a set-path, anything else ends
// the path.
void path_end(Scan& s) {
    uint32_t p = s.pos;
    if (p < s.length && s.input[p] == '/') {
        s.pos = p + 1;
        if (s.pos >= s.length) raise(s, -1, s.pos, TYPE_PATH);
        return;
    }
    int64_t m = open_marker(s);
    if (m < 0) return;
    int kind = marker_kind(static_cast<uint32_t>(m));
    if (p < s.length && s.input[p] == ':') {
        if (p + 1 < s.length && s.input[p + 1] == '/') raise(s, -1, p + 2, TYPE_PATH);
        s.pos = p + 1;
        close_series(s, TYPE_SET_PATH, p);
    } else {
        close_series(s, kind, p);
    }
}

// Skips leading Unicode white space of a word token; answers the first byte after it.
uint32_t skip_unicode_spaces(const Scan& s, uint32_t from, uint32_t to) {
    uint32_t p = from;
    while (p < to) {
        uint32_t cp;
        int n = utf8_char(s.input + p, s.input + to, &cp);
        if (n == 0 || !unicode_space_q(cp)) break;
        p += uint32_t(n);
    }
    return p;
}

void run(Scan& s) {
    const uint8_t* in = s.input;
    for (;;) {
        // Run the automaton to the next final state; blanks between tokens are skipped.
        uint32_t p = s.pos;
        uint32_t len = s.length;
        int state = s.start_state;
        uint32_t flags = 0, start = p;
        int32_t lines = s.lines_carry;
        s.lines_carry = 0;
        uint8_t next;
        for (;;) {
            uint32_t e = p < len ? class_table[in[p]] : uint32_t(C_END) | flag::end;
            uint32_t cls = e & 0xFF;
            next = trans[state][cls];
            if (next >= F) break;
            if (next == S_START && state == S_START) {
                start = p + 1;
                if (cls == C_LF) {
                    lines++;
                    s.line++;
                }
            } else {
                flags |= e & ~0xFFu;
                if (cls == C_LF) s.line++;
            }
            state = next;
            p++;
        }
        int t = next - F;
        s.prev_state = state;
        s.token_start = start;
        s.token_end = s.pos = p;
        s.t = t;
        s.flags = flags;
        s.kind_hint = -1;
        s.token_type = state_type[next];
        s.token_lines = s.start_state == S_START ? lines : 0;
        s.resumed = false;
        try {
            if (t == T_WORD && s.start_state == S_START && (flags & flag::non_ascii)) {
                uint32_t q = skip_unicode_spaces(s, start, p);
                if (q > start) {
                    s.pos = q;
                    s.lines_carry = s.token_lines;
                    continue;
                }
            }
            bool go = true;
            // A paren that opens a point literal is reported with the point, not before it.
            if (s.trace && s.start_state != S_BRACE && !(t == T_PAREN_OPEN && point_ahead(s, s.token_end + 1))) {
                int32_t type = s.token_type ? s.token_type : -t;
                bool point = t == T_POINT;
                go = fire_event(s, EV_PRESCAN, type, nullptr, point ? start - 1 : start, point ? p + 1 : p);
                if (s.resumed) continue;
            }
            if (!go) {
                skip_token(s, t);
                if (t == T_END) return;
                continue;
            }
            if (s.prescan) {
                if (t <= T_STRING)
                    run_scanner(s, t);
                else if (closed_by_stop_byte(t))
                    s.pos = s.token_end + 1;
            } else if (t < T_STRING) {
                run_scanner(s, t);
            } else {
                handle_value(s, t);
            }
            if (s.resumed) continue;
            if (s.start_state == S_PATH && t != T_PATH && t != T_ERROR) path_end(s);
        } catch (const QuietStop&) {
            return;
        } catch (const Resume&) {
            continue;
        }
        if ((s.one || s.prescan) && s.token_type > 0 && t != T_PATH && s.start_state != S_PATH &&
            s.start_state != S_BRACE) {
            uint32_t n = s.tail - s.buffer_head;
            if (n == 0 || (n == 1 && !marker_q(s.buffer_head))) return;
        }
        s.prev_token_type = s.token_type;
        if (t == T_END) return;
    }
}

Scan* innermost() {
    Scan* s = chain;
    while (s && s->next) s = s->next;
    return s;
}

// The result of a load: the first value in one mode, else a block of the values (or the values
// appended to the into block).
void build_output(Scan& s, Cell* out, const Options& o) {
    uint32_t n = s.tail - s.buffer_head;
    if (o.one && !o.keep_block && n >= 1) {
        Cell v = *at(s.buffer_head);
        if (o.into) {
            Node node = o.into->node();
            block::append_cell(node, &v);
        }
        *out = v;
        return;
    }
    if (o.into) {
        Node node = o.into->node();
        SeriesBuf* b = series::reserve(node, n * 16);
        std::memcpy(b->at_tail(), at(s.buffer_head), size_t(n) * sizeof(Cell));
        b->tail += n * 16;
        o.into->set_type(TYPE_BLOCK);
        *out = *o.into;
        return;
    }
    Node node = block::make_node(static_cast<int32_t>(n));
    SeriesBuf* b = memory::nodes[node];
    std::memcpy(b->data(), at(s.buffer_head), size_t(n) * sizeof(Cell));
    b->tail = n * 16;
    set_cell(out, TYPE_BLOCK, 0, node);
}

// Whether the error in flight is no-memory (stack::throw_error leaves it pending).
bool out_of_memory_pending() {
    const Cell* e = &stack::pending_error;
    if (runtime::sys.thrown != codes::error || e->type() != TYPE_ERROR) return false;
    return error::is(e, err::internal::no_memory);
}

void unlink(Scan& s) {
    if (s.parent)
        s.parent->next = nullptr;
    else
        chain = nullptr;
    active--;
}

// The staging area of one scan of a series value: a slice of the staging buffer, or a heap block
// when the text does not fit, given back when the scan ends.
struct Staging {
    uint8_t* bytes = nullptr;
    uint32_t saved_used = 0;
    bool heap = false;
    explicit Staging(uint64_t need) {
        saved_used = staging_used;
        if (need <= kStagingSize - staging_used) {
            bytes = staging + staging_used;
            staging_used += static_cast<uint32_t>(need);
        } else {
            if (need > 0x7FFFFFF0u) fire(err::internal::no_memory);
            // A huge source text is the no-memory error, which a script can catch.
            bytes = static_cast<uint8_t*>(runtime::try_allocate(size_t(need) + 1));
            if (!bytes) fire(err::internal::no_memory);
            heap = true;
        }
    }
    ~Staging() {
        if (heap)
            runtime::free(bytes);
        else
            staging_used = saved_used;
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
};

int utf8_encode(uint32_t cp, uint8_t* out) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | ((cp >> 18) & 0x07));
    out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Entry points.

void init() {
    if (initialised) return;
    build_classes();
    build_automaton();
    vcap = 1000;
    vbuf = static_cast<Cell*>(runtime::allocate(size_t(vcap) * sizeof(Cell)));
    staging = static_cast<uint8_t*>(runtime::allocate(kStagingSize));
    staging_used = 0;
    collector::add_marker(mark_buffers);
    initialised = true;
}

void mark_buffers() {
    for (Scan* s = chain; s; s = s->next) {
        if (s->tail > s->buffer_head) collector::mark_values(vbuf + s->buffer_head, vbuf + s->tail);
        collector::mark_values(&s->source, &s->source + 1);
        if (s->trace) collector::mark_values(&s->trace->callback, &s->trace->callback + 1);
    }
}

int active_scans() { return active; }

int32_t scan(Cell* out, const uint8_t* text, uint32_t length, const Options& o, int32_t* consumed) {
    if (!initialised) init();
    Scan s;
    Scan* outer = innermost();
    s.buffer_head = s.series_head = s.tail = outer ? outer->tail : 0;
    s.input = text;
    s.length = length;
    s.prescan = o.prescan;
    s.load = o.load && !o.prescan;
    s.one = o.one;
    s.trace = o.trace && o.trace->fn ? o.trace : nullptr;
    if (o.source) {
        s.source = *o.source;
        s.char_units = types::any_string(o.source->type());
    } else {
        set_cell(&s.source, TYPE_NONE);
    }
    s.parent = outer;
    if (outer)
        outer->next = &s;
    else
        chain = &s;
    active++;

    std::exception_ptr pending;
    bool refused = false;
    try {
        run(s);
    } catch (...) {
        pending = std::current_exception();
    }
    if (!pending) {
        // A series still open at the end is missing its closing delimiter.
        try {
            int64_t m = open_marker(s);
            if (m >= 0) {
                uint32_t mi = static_cast<uint32_t>(m);
                if (s.prescan && s.start_state == S_PATH && s.token_type != TYPE_ERROR) {
                    s.token_type = marker_kind(mi);
                } else {
                    s.expected = marker_kind(mi);
                    raise(s, at(mi)->data3, s.length, -4);
                }
            }
        } catch (const QuietStop&) {
            refused = s.load;
        } catch (const Resume&) {
            refused = s.load;
        } catch (...) {
            pending = std::current_exception();
        }
    }
    // Series left open by an error that did not close them (a callback's error, a limit, the
    // callback failing on the missing delimiter at the end). Only an /into block keeps them, and
    // not after running out of memory. The error has unwound the frames to its try already: the
    // work done for it here cannot raise another, which would unwind them a second time, past
    // that try (running out of memory ends the process instead).
    bool keep_partial = pending && o.into && !out_of_memory_pending();
    if (keep_partial) {
        memory::AfterError repair;
        try {
            close_for_error(s);
        } catch (...) {
        }
    }
    try {
        if (s.load && !refused && (!pending || keep_partial)) {
            std::optional<memory::AfterError> repair;
            if (pending) repair.emplace();
            build_output(s, out, o);
        } else {
            set_cell(out, TYPE_NONE);
        }
    } catch (...) {
        if (!pending) pending = std::current_exception();
    }
    if (consumed) *consumed = units_at(s, s.pos);
    unlink(s);
    if (pending) std::rethrow_exception(pending);
    return s.token_type;
}

int32_t scan_value(Cell* out, const Cell* value, int32_t length, const Options& options, int32_t* consumed) {
    if (!initialised) init();
    Cell source = *value;
    collector::Root keep(&source);
    SeriesBuf* b = memory::nodes[source.node()];
    uint32_t unit = source.type() == TYPE_BINARY ? 1 : b->unit();
    int64_t head = source.index() > 0 ? source.index() : 0;
    int64_t available = int64_t(b->used_bytes() / unit) - head;
    if (available < 0) available = 0;
    int64_t n = length < 0 || length > available ? available : length;
    uint64_t per = source.type() == TYPE_BINARY ? 1 : (unit == 1 ? 2 : (unit == 2 ? 3 : 4));
    Staging stage(uint64_t(n) * per);
    b = memory::nodes[source.node()];
    const uint8_t* from = b->at_head() + size_t(head) * unit;
    uint32_t bytes = 0;
    if (source.type() == TYPE_BINARY) {
        std::memcpy(stage.bytes, from, size_t(n));
        bytes = static_cast<uint32_t>(n);
    } else {
        for (int64_t i = 0; i < n; i++)
            bytes += uint32_t(utf8_encode(string::get_char(from + size_t(i) * unit, unit), stage.bytes + bytes));
    }
    Options o = options;
    o.source = &source;
    return scan(out, stage.bytes, bytes, o, consumed);
}

Cell* load(Cell* out, std::string_view text) {
    Options o;
    scan(out, text, o);
    return out;
}

Cell* next(Cell* out, std::string_view text, int32_t* end) {
    Options o;
    o.one = true;
    o.keep_block = true;
    Cell b;
    int32_t used = 0;
    scan(&b, text, o, &used);
    if (end) *end = used;
    if (b.type() == TYPE_BLOCK && block::rs_length_q(&b) > 0)
        *out = *block::rs_head(&b);
    else
        set_cell(out, TYPE_NONE);
    return out;
}

Cell* load_one(Cell* out, std::string_view text) { return next(out, text, nullptr); }

int32_t scan_type(std::string_view text) {
    Options o;
    o.one = true;
    o.load = false;
    Cell out;
    return scan(&out, text, o);
}

int32_t prescan_type(std::string_view text) {
    Options o;
    o.prescan = true;
    Cell out;
    return scan(&out, text, o);
}

uint32_t mask_of_body(const Cell* body) {
    if (!body || !types::any_list(body->type()) || block::rs_length_q(body) == 0) return EV_ALL;
    const Cell* first = block::rs_head(body);
    if (first->type() != TYPE_BLOCK) return EV_ALL;
    static const char* const names[6] = {"prescan", "scan", "load", "open", "close", "error"};
    uint32_t mask = 0;
    int32_t n = block::rs_length_q(first);
    for (int32_t i = 0; i < n; i++) {
        const Cell* w = block::rs_head(first) + i;
        if (w->type() != TYPE_WORD) continue;
        std::string_view name = symbol::text(static_cast<int32_t>(w->data2));
        for (int k = 0; k < 6; k++)
            if (name == names[k]) mask |= 1u << k;
    }
    return mask;
}

int32_t scan_integer(const uint8_t* units, int32_t count, int unit, int* error) {
    *error = 0;
    std::string t;
    if (!narrow(units, count, unit, t)) {
        *error = -1;
        return 0;
    }
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    int64_t v = 0;
    bool any = false;
    for (; i < t.size(); i++) {
        char c = t[i];
        if (c == '\'') continue;
        if (c < '0' || c > '9') {
            *error = -1;
            return 0;
        }
        any = true;
        v = v * 10 + (c - '0');
        if (v > 0x80000000ll) {
            *error = -2;
            return 0;
        }
    }
    if (!any) {
        *error = -1;
        return 0;
    }
    if (!negative && v > 0x7FFFFFFFll) {
        *error = -2;
        return 0;
    }
    return static_cast<int32_t>(negative ? -v : v);
}

double scan_float(const uint8_t* units, int32_t count, int unit, int* error) {
    *error = 0;
    std::string t;
    if (count > 312 || !narrow(units, count, unit, t)) {
        *error = -1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    for (char& c : t)
        if (c == ',') c = '.';
    auto p = reinterpret_cast<const uint8_t*>(t.data());
    if (!float_syntax_q(p, p + t.size())) {
        *error = -1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    bool ok;
    double d = float_value(p, p + t.size(), 0, &ok);
    if (!ok) {
        *error = -1;
        return std::numeric_limits<double>::quiet_NaN();
    }
    return d;
}

bool scan_money(Cell* out, const uint8_t* units, int32_t count, int unit) {
    std::string t;
    if (!narrow(units, count, unit, t)) return false;
    auto p = reinterpret_cast<const uint8_t*>(t.data());
    Cell c;
    set_cell(&c, TYPE_NONE);
    if (!make_money(&c, p, p + t.size())) return false;
    *out = c;
    return true;
}

bool scan_tuple(Cell* out, const uint8_t* units, int32_t count, int unit) {
    std::string t;
    if (!narrow(units, count, unit, t)) return false;
    auto p = reinterpret_cast<const uint8_t*>(t.data());
    uint8_t bytes[12];
    int n;
    if (!tuple_value(p, p + t.size(), bytes, &n)) return false;
    Cell c;
    set_cell(&c, TYPE_NONE);
    tuple::make_at(&c, bytes, n);
    *out = c;
    return true;
}

int32_t word_kind(std::string_view text) {
    Options o;
    o.one = true;
    o.load = false;
    Cell out;
    int32_t used = 0;
    if (scan(&out, text, o, &used) != TYPE_WORD || used != static_cast<int32_t>(text.size())) return 0;
    if (text.empty()) return 0;
    if (text.front() == '\'') return TYPE_LIT_WORD;
    if (text.front() == ':') return TYPE_GET_WORD;
    if (text.size() > 1 && text.back() == ':') return TYPE_SET_WORD;
    return TYPE_WORD;
}

}  // namespace lexer

namespace conversion {

Cell* scan_single(const Cell* text, Cell* target) {
    Cell source = *text;
    collector::Root keep(&source);
    block::make_new(target, 1);
    lexer::Options o;
    o.one = true;
    o.into = target;
    Cell out;
    int32_t used = 0;
    lexer::scan_value(&out, &source, -1, o, &used);
    // Only blanks may follow the value.
    int32_t total = string::rs_length_q(&source);
    SeriesBuf* b = memory::nodes[source.node()];
    uint32_t unit = source.type() == TYPE_BINARY ? 1 : b->unit();
    for (int32_t i = used; i < total; i++) {
        uint32_t c = string::get_char(b->at_head() + (size_t(source.index()) + size_t(i)) * unit, unit);
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            static Cell none;
            set_cell(&none, TYPE_NONE);
            return &none;
        }
    }
    if (block::rs_length_q(target) > 0) return block::rs_head(target);
    set_cell(target, TYPE_UNSET);
    return target;
}

Cell* scan_single_top(const Cell* text) { return scan_single(text, stack::arguments); }

}  // namespace conversion
