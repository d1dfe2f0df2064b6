// A small model of a VT terminal's screen for tests of what programs draw: printable text with
// wide characters and the wrap that waits at a row's end, CR, LF with scrolling, the relative
// cursor moves (CSI A B C D), erase to the end of the screen (CSI J) and of the row (CSI K).
// Colour sequences and string commands are taken and ignored; any other sequence is recorded
// as unsupported, so a test can insist that a program keeps to these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/unicode.h"

class VtScreen {
public:
    VtScreen(int columns, int rows) : columns_(columns), rows_(rows), cells_(size_t(rows), Row(size_t(columns), 0)) {}

    void feed(const std::string& bytes) {
        for (unsigned char b : bytes) byte(b);
    }

    int row() const { return row_; }
    int column() const { return col_; }
    bool pending_wrap() const { return pending_; }
    int scrolled() const { return scrolled_; }
    const std::vector<std::string>& unsupported() const { return unsupported_; }
    void set_cursor(int row, int column) {
        row_ = row;
        col_ = column;
        pending_ = false;
    }

    // A row's text as UTF-8, trailing blanks dropped; the empty second cell of a wide character
    // is not shown.
    std::string text(int r) const {
        std::string s;
        int last = columns_ - 1;
        while (last >= 0 && (cells_[size_t(r)][size_t(last)] == 0 || cells_[size_t(r)][size_t(last)] == ' ')) last--;
        for (int c = 0; c <= last; c++) {
            uint32_t cp = cells_[size_t(r)][size_t(c)];
            if (cp == kWideTail) continue;
            if (cp == 0) cp = ' ';
            uint8_t buf[4];
            int n = unicode::cp_to_utf8(cp, buf);
            s.append(reinterpret_cast<const char*>(buf), size_t(n));
        }
        return s;
    }
    std::string all() const {
        std::string s;
        for (int r = 0; r < rows_; r++) {
            s += text(r);
            s += '\n';
        }
        while (s.size() >= 2 && s[s.size() - 1] == '\n' && s[s.size() - 2] == '\n') s.pop_back();
        return s;
    }
    uint32_t at(int r, int c) const { return cells_[size_t(r)][size_t(c)]; }

private:
    using Row = std::vector<uint32_t>;
    static constexpr uint32_t kWideTail = 0xFFFFFFFF;

    void line_feed() {
        if (row_ == rows_ - 1) {
            cells_.erase(cells_.begin());
            cells_.push_back(Row(size_t(columns_), 0));
            scrolled_++;
        } else {
            row_++;
        }
    }

    void put(uint32_t cp) {
        int w = unicode::char_width(cp);
        if (cp >= 0x1F300 && cp <= 0x1F5FF) w = 2;
        if (w == 0) return;  // combining marks join the cell before
        if (pending_) {
            col_ = 0;
            line_feed();
            pending_ = false;
        }
        if (w == 2 && col_ == columns_ - 1) {
            cells_[size_t(row_)][size_t(col_)] = 0;
            col_ = 0;
            line_feed();
        }
        cells_[size_t(row_)][size_t(col_)] = cp;
        if (w == 2) cells_[size_t(row_)][size_t(col_ + 1)] = kWideTail;
        col_ += w;
        if (col_ >= columns_) {
            col_ = columns_ - 1;
            pending_ = true;
        }
    }

    void erase(int r, int from) {
        for (int c = from; c < columns_; c++) cells_[size_t(r)][size_t(c)] = 0;
    }

    void csi(char final) {
        int n = params_.empty() || params_[0] == 0 ? 1 : params_[0];
        bool plain = !private_;
        switch (final) {
            case 'A': row_ = row_ - n < 0 ? 0 : row_ - n; break;
            case 'B': row_ = row_ + n >= rows_ ? rows_ - 1 : row_ + n; break;
            case 'C': col_ = col_ + n >= columns_ ? columns_ - 1 : col_ + n; break;
            case 'D': col_ = col_ - n < 0 ? 0 : col_ - n; break;
            case 'J':
                if (plain && (params_.empty() || params_[0] == 0)) {
                    erase(row_, col_);
                    for (int r = row_ + 1; r < rows_; r++) erase(r, 0);
                } else {
                    unsupported_.push_back(seq_);
                }
                break;
            case 'K':
                if (plain && (params_.empty() || params_[0] == 0)) erase(row_, col_);
                else unsupported_.push_back(seq_);
                break;
            case 'm': break;
            default: unsupported_.push_back(seq_); break;
        }
        pending_ = false;
    }

    void byte(unsigned char b) {
        if (state_ == 1) {
            seq_ += char(b);
            if (b == '[') {
                state_ = 2;
                params_.clear();
                private_ = false;
                number_ = -1;
            } else if (b == ']') {
                state_ = 3;
            } else {
                state_ = 0;
                unsupported_.push_back(seq_);
            }
            return;
        }
        if (state_ == 2) {
            seq_ += char(b);
            if (b >= '0' && b <= '9') {
                number_ = (number_ < 0 ? 0 : number_) * 10 + (b - '0');
            } else if (b == ';') {
                params_.push_back(number_ < 0 ? 0 : number_);
                number_ = -1;
            } else if (b >= 0x3C && b <= 0x3F) {
                private_ = true;
            } else if (b >= 0x40 && b <= 0x7E) {
                if (number_ >= 0) params_.push_back(number_);
                state_ = 0;
                csi(char(b));
            }
            return;
        }
        if (state_ == 3) {
            if (b == 7) state_ = 0;
            return;
        }
        if (need_ > 0) {
            cp_ = (cp_ << 6) | (b & 0x3F);
            if (--need_ == 0) put(cp_);
            return;
        }
        if (b >= 0xF0) {
            need_ = 3;
            cp_ = b & 0x07;
        } else if (b >= 0xE0) {
            need_ = 2;
            cp_ = b & 0x0F;
        } else if (b >= 0xC0) {
            need_ = 1;
            cp_ = b & 0x1F;
        } else if (b == 27) {
            state_ = 1;
            seq_ = "\x1b";
        } else if (b == '\r') {
            col_ = 0;
            pending_ = false;
        } else if (b == '\n') {
            // Output processing of the line discipline (ONLCR) sends CR LF for LF.
            col_ = 0;
            line_feed();
            pending_ = false;
        } else if (b >= 32 && b < 127) {
            put(b);
        } else {
            unsupported_.push_back(std::string(1, char(b)));
        }
    }

    int columns_, rows_;
    std::vector<Row> cells_;
    int row_ = 0, col_ = 0;
    bool pending_ = false;
    int scrolled_ = 0;
    int state_ = 0;
    std::string seq_;
    std::vector<int> params_;
    bool private_ = false;
    int number_ = -1;
    uint32_t cp_ = 0;
    int need_ = 0;
    std::vector<std::string> unsupported_;
};
