// PrefixSearch.from_internal_data_v2: an index handed over as flat arrays.
#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/binding.hpp"
#include "lib/convert.hpp"
#include "lib/errors.hpp"
#include "lib/methods.hpp"
#include "lib/prefix_search.hpp"
#include "prefix/trie/assemble.hpp"

namespace torrelm::py {
namespace {

constexpr std::string_view kNames[] = {"node_shifts",       "child_labels", "payloads",
                                       "child_transitions", "video_index",  "video_top_n"};
constexpr Signature kSignature{"PrefixSearch.from_internal_data_v2()", kNames, 6};

// Strong references to the payloads items, each dropped as soon as it has been converted.
class Items {
 public:
  Items() = default;
  Items(const Items&) = delete;
  Items& operator=(const Items&) = delete;
  ~Items() {
    for (PyObject* item : items_) Py_XDECREF(item);
  }
  void reserve(std::size_t n) { items_.reserve(n); }
  void push(PyObject* item) { items_.push_back(Py_NewRef(item)); }
  std::size_t size() const noexcept { return items_.size(); }
  PyObject* get(std::size_t i) const noexcept { return items_[i]; }
  void drop(std::size_t i) noexcept { Py_CLEAR(items_[i]); }

 private:
  std::vector<PyObject*> items_;
};

bool has_surrogate(PyObject* text) noexcept {
  if (PyUnicode_IS_ASCII(text)) return false;
  const int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND) return false;
  const void* data = PyUnicode_DATA(text);
  for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(text); i < n; ++i) {
    const Py_UCS4 ch = PyUnicode_READ(kind, data, i);
    if (ch >= 0xD800 && ch <= 0xDFFF) return true;
  }
  return false;
}

// One label per string: its first character, U+0000 for an empty string. A string without a
// UTF-8 form fails as the interpreter's encoder does, since such a label could never be stored,
// restored or spelled back into a Python string.
bool to_labels(PyObject* value, std::vector<char32_t>& out) {
  if (!check_sequence(value)) return false;
  out.reserve(size_hint(value));
  return for_each_item(value, [&](PyObject* item) {
    if (!PyUnicode_Check(item)) return raise_type_mismatch(item, "PyString");
    if (has_surrogate(item)) return PyUnicode_AsUTF8AndSize(item, nullptr) != nullptr;
    out.push_back(PyUnicode_GET_LENGTH(item) == 0 ? U'\0' : PyUnicode_READ_CHAR(item, 0));
    return true;
  });
}

bool to_items(PyObject* value, Items& out) {
  if (!check_sequence(value)) return false;
  out.reserve(size_hint(value));
  return for_each_item(value, [&](PyObject* item) {
    out.push(item);
    return true;
  });
}

// Every entry's bytes, concatenated, and the length of each entry.
bool to_video_index(PyObject* value, std::vector<std::uint8_t>& bytes,
                    std::vector<std::size_t>& lengths) {
  if (!check_sequence(value)) return false;
  lengths.reserve(size_hint(value));
  return for_each_item(value, [&](PyObject* entry) {
    const std::size_t before = bytes.size();
    if (PyBytes_Check(entry)) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(entry));
      bytes.insert(bytes.end(), data, data + PyBytes_GET_SIZE(entry));
    } else {
      if (!check_sequence(entry)) return false;
      const bool ok = for_each_item(entry, [&](PyObject* item) {
        const long byte = PyLong_AsLong(item);
        if (byte == -1 && PyErr_Occurred()) return false;
        if (byte < 0 || byte > 255) return raise_out_of_range();
        bytes.push_back(static_cast<std::uint8_t>(byte));
        return true;
      });
      if (!ok) return false;
    }
    lengths.push_back(bytes.size() - before);
    return true;
  });
}

// A payloads item that is not None: a 3-tuple (total_count, video_ids, video_counts).
bool push_payload(PyObject* item, payload::PayloadTable& table, std::vector<std::uint32_t>& ids,
                  std::vector<std::uint32_t>& counts) {
  if (!PyTuple_Check(item)) return raise_type_mismatch(item, "PyTuple");
  if (PyTuple_GET_SIZE(item) != 3) {
    raise_value_error("Payload tuple must have 3 elements");
    return false;
  }
  std::uint32_t total_count = 0;
  if (!to_u32(PyTuple_GET_ITEM(item, 0), total_count) ||
      !to_u32_vector(PyTuple_GET_ITEM(item, 1), ids) ||
      !to_u32_vector(PyTuple_GET_ITEM(item, 2), counts)) {
    return false;
  }
  if (ids.size() != counts.size()) {
    raise_value_error("video_ids and video_counts length mismatch");
    return false;
  }
  table.push(total_count, ids, counts);
  return true;
}

}  // namespace

PyObject* from_internal_data_v2(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[6];
    if (!bind(kSignature, args, nargs, kwnames, bound)) return nullptr;

    prefix::Trie trie;
    Items items;
    std::vector<std::uint8_t> video_bytes;
    std::vector<std::size_t> video_lengths;
    std::uint32_t video_top_n = 0;
    // Each argument in order; a TypeError names the argument it came from.
    if (!(to_u32_vector(bound[0], trie.node_shifts) || named_argument("node_shifts")) ||
        !(to_labels(bound[1], trie.child_labels) || named_argument("child_labels")) ||
        !(to_items(bound[2], items) || named_argument("payloads")) ||
        !(to_u32_vector(bound[3], trie.child_transitions) || named_argument("child_transitions")) ||
        !(to_video_index(bound[4], video_bytes, video_lengths) || named_argument("video_index")) ||
        !(to_u32(bound[5], video_top_n) || named_argument("video_top_n"))) {
      return nullptr;
    }

    const std::size_t n = trie.child_labels.size();
    if (const auto error =
            prefix::shape_error(trie.node_shifts.size(), n, items.size(), trie.child_transitions)) {
      raise_value_error(*error);
      return nullptr;
    }

    trie.is_terminal.resize(n);
    for (std::size_t i = 0; i < n; ++i) trie.is_terminal[i] = items.get(i) != Py_None;

    std::vector<std::uint32_t> ids;
    std::vector<std::uint32_t> counts;
    trie.payloads.reserve(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
      if (items.get(i) == Py_None) {
        trie.payloads.push_absent();
      } else if (!push_payload(items.get(i), trie.payloads, ids, counts)) {
        return nullptr;
      }
      items.drop(i);
    }

    auto table = prefix::video_table(video_bytes, video_lengths);
    if (!table) {
      raise_value_error(table.error());
      return nullptr;
    }
    trie.id_mode = table->id_mode;
    trie.video_uuids = std::move(table->video_uuids);
    trie.video_int_ids = std::move(table->video_int_ids);

    trie.propagate(video_top_n, signal_cancel());
    return wrap(std::move(trie));
  });
}

}  // namespace torrelm::py
