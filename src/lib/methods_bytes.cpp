// PrefixSearch.to_bytes and PrefixSearch.from_bytes: storing and restoring a whole index.
#include <span>
#include <string>
#include <string_view>

#include "common/huge_pages.hpp"
#include "format/index_codec.hpp"
#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/methods.hpp"
#include "lib/prefix_search.hpp"

namespace torrelm::py {
namespace {

constexpr std::string_view kFromBytesNames[] = {"b"};
constexpr Signature kFromBytes{"PrefixSearch.from_bytes()", kFromBytesNames, 1};

}  // namespace

PyObject* to_bytes(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    const prefix::Trie& trie = PrefixSearch::trie_of(self);
    const std::uint64_t size = format::encoded_size(trie);
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      raise_value_error("encode error: the stored form takes " + std::to_string(size) +
                        " bytes, more than a bytes object can hold");
      return nullptr;
    }
    // Written straight into the bytes object: one allocation, no copy.
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) return nullptr;
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    prefer_huge_pages(data, static_cast<std::size_t>(size));  // not written yet: faults are few
    format::encode(trie, std::span(data, static_cast<std::size_t>(size)));
    return bytes.release();
  });
}

PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind(kFromBytes, args, nargs, kwnames, bound)) return nullptr;
    if (!PyBytes_Check(bound[0])) {
      raise_type_mismatch(bound[0], "PyBytes");
      named_argument("b");
      return nullptr;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bound[0]));
    // A large input takes a while: Ctrl-C stops it, and guarded() reports the interruption.
    auto trie = format::decode(
        std::span(data, static_cast<std::size_t>(PyBytes_GET_SIZE(bound[0]))), signal_cancel());
    if (!trie) {
      raise_value_error("decode error: " + format::to_string(trie.error()));
      return nullptr;
    }
    return wrap(std::move(*trie));
  });
}

}  // namespace torrelm::py
