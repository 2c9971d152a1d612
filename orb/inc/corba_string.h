// Broker strings: allocation, copy, comparison and the owning String_var.
#pragma once

#include <cstdint>

namespace CORBA {

// n + 1 chars (room for the terminator); null when memory is short.
char *string_alloc(unsigned int n);
// Copy of s (null for null).
char *string_dup(char const *s);
// Copy of the first n chars of s, terminated.
char *string_dup(char const *s, unsigned int n);
// Deletes a string made by string_alloc/string_dup and nulls the pointer.
void string_free(char *&s);
void string_free(char const *&s);
// 0 for null or empty, else strlen.
unsigned int string_len(char const *s);
// True for the same pointer; null equals only ""; otherwise equal up to both
// reaching NUL or the stop character together.
bool string_equal(char const *a, char const *b, char stop = '\0');
// 0 for ""; else h = (h << 5) ^ c (signed) over the chars from the second one
// up to and including the terminating NUL.
unsigned int get_hash(char const *s);

// Owns one broker string.
class String_var {
public:
    String_var() = default;
    String_var(char *s) : s_(s) {}
    String_var(char const *s) : s_(string_dup(s)) {}
    String_var(const String_var &o) : s_(string_dup(o.s_)) {}
    String_var(String_var &&o) noexcept : s_(o.s_) { o.s_ = nullptr; }
    ~String_var() { string_free(s_); }

    String_var &operator=(char *s)
    {
        if (s != s_) {
            string_free(s_);
            s_ = s;
        }
        return *this;
    }
    String_var &operator=(char const *s)
    {
        char *c = string_dup(s);
        string_free(s_);
        s_ = c;
        return *this;
    }
    String_var &operator=(const String_var &o)
    {
        if (this != &o)
            *this = static_cast<char const *>(o.s_);
        return *this;
    }
    String_var &operator=(String_var &&o) noexcept
    {
        if (this != &o) {
            string_free(s_);
            s_ = o.s_;
            o.s_ = nullptr;
        }
        return *this;
    }

    char const *in() const { return s_; }
    char *&inout() { return s_; }
    // Frees the held string and hands out the slot to be filled.
    char *&out()
    {
        string_free(s_);
        return s_;
    }
    // Gives up ownership.
    char *_retn()
    {
        char *s = s_;
        s_ = nullptr;
        return s;
    }
    operator char const *() const { return s_; }
    operator char *&() { return s_; }
    char &operator[](unsigned int i) { return s_[i]; }
    char operator[](unsigned int i) const { return s_[i]; }

private:
    char *s_ = nullptr;
};

} // namespace CORBA
