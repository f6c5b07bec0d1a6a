// Arguments: matching a call's arguments to a method's parameters, and
// converting each argument to what the core takes.
//
// Every method with parameters (METH_FASTCALL | METH_KEYWORDS) and every
// constructor (tp_new, tuple + dict) goes through the same matcher, so all of
// them report argument errors with the same TypeError texts:
//   "<Class>.<method>() takes <n> positional arguments but <m> were given"
//   "<Class>.<method>() takes from <r> to <n> positional arguments but <m> were given"
//   "<Class>.<method>() got an unexpected keyword argument '<name>'"
//   "<Class>.<method>() got multiple values for argument '<name>'"
//   "<Class>.<method>() missing 2 required positional arguments: 'a' and 'b'"
// checked in that order (count, then keywords in the order given, then missing).
// Parameters are positional-or-keyword, except those from `positional` on,
// which are keyword-only; the first `required` ones are required. Matching allocates nothing unless
// it fails.
//
// Converters return false with a Python exception set. A TypeError from a
// converter is prefixed "argument '<name>': " (keeping the __cause__ of the
// error it replaces); other errors (OverflowError, UnicodeEncodeError) pass
// unchanged. Everything here runs under the interpreter lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

#include "pybinding/py_ref.h"

namespace moxtile::py {

inline constexpr std::size_t kMaxParams = 12;

// One method's parameter list. Lives in static storage for the life of the
// process; `interned` is filled on first keyword use, under the interpreter lock
// (a cache only, hence mutable).
struct Signature {
  constexpr Signature(const char* owner_name, const char* method_name,
                      std::initializer_list<const char*> parameter_names,
                      std::size_t required_count,
                      std::size_t positional_count = kMaxParams) noexcept
      : owner(owner_name),
        method(method_name),
        count(parameter_names.size()),
        required(required_count),
        positional(positional_count < parameter_names.size() ? positional_count
                                                             : parameter_names.size()) {
    std::size_t i = 0;
    for (const char* name : parameter_names) names[i++] = name;
  }

  const char* owner;   // class name, e.g. "PyFs"
  const char* method;  // e.g. "mkdir", or "__new__" for a constructor
  std::array<const char*, kMaxParams> names{};
  std::size_t count;
  std::size_t required;
  std::size_t positional;                                // parameters after these are keyword-only
  mutable std::array<PyObject*, kMaxParams> interned{};  // interned names, kept forever
};

// The matched arguments of one call: a borrowed reference per parameter, or
// nullptr where an optional one was left out.
class Args final {
 public:
  explicit Args(const Signature& signature) noexcept : signature_(&signature) {}

  PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
  const char* name(std::size_t i) const noexcept { return signature_->names[i]; }

  // str (subclasses too) -> its UTF-8 text, borrowed from the str for the call.
  bool text(std::size_t i, std::string_view& out) const;
  // None or left out -> empty optional; otherwise as text().
  bool optional_text(std::size_t i, std::optional<std::string_view>& out) const;
  // bytes (subclasses too) -> its bytes, borrowed for the call.
  bool bytes(std::size_t i, std::span<const std::uint8_t>& out) const;
  // int or __index__ -> unsigned 64-bit; OverflowError when negative or too big.
  bool u64(std::size_t i, std::uint64_t& out) const;
  // None or left out -> empty optional; otherwise as u64().
  bool optional_u64(std::size_t i, std::optional<std::uint64_t>& out) const;
  // None or left out -> empty optional; a float or an int -> its value.
  bool optional_real(std::size_t i, std::optional<double>& out) const;
  // bool, or a numpy bool by its truth value; nothing else (not even 0 or 1).
  bool flag(std::size_t i, bool& out) const;
  // None or left out -> empty optional; otherwise as flag().
  bool optional_flag(std::size_t i, std::optional<bool>& out) const;

 private:
  friend bool match_fastcall(PyObject* const*, Py_ssize_t, PyObject*, Args&);
  friend bool match_tuple(PyObject*, PyObject*, Args&);

  const Signature* signature_;
  std::array<PyObject*, kMaxParams> values_{};
};

// Matches a vectorcall (positional values, then one value per name in
// `kwnames`). Returns false with TypeError set.
bool match_fastcall(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Args& out);
// Matches a tuple of positional values and an optional dict of keywords.
bool match_tuple(PyObject* args, PyObject* kwargs, Args& out);

// Raises "argument '<name>': '<type>' object cannot be converted to '<target>'".
// Returns false.
bool raise_wrong_type(PyObject* value, const char* name, const char* target);

// If the pending exception is a TypeError, replaces it with one prefixed
// "argument '<name>': " that keeps its __cause__. Returns false.
bool prefix_type_error(const char* name);

}  // namespace moxtile::py
