// The Arrow C data interface and C stream interface: the three structs through which any Arrow
// producer (a Python library, a database driver, a file reader) hands columnar data to us without
// either side linking the other's library.
//
// They are a public binary interface, so they are written out exactly as the interface defines
// them, in the global namespace and with C linkage, behind the include guards the interface
// prescribes: a translation unit that also sees another copy of the same definitions compiles,
// and a struct filled by any producer reads the same here.
//
// Ownership in one sentence: whoever holds a struct whose `release` is not null must call
// `release` on it exactly once (the callback frees everything it owns and sets `release` to
// null); a released struct has `release == nullptr` and nothing else in it may be read.
#pragma once

#include <cstdint>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

// The type of one array: `format` is a short type string ("l" int64, "u" utf8, "+s" struct, ...);
// a dictionary-encoded array has the index type as its format and the value type in
// `dictionary`.
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

// The data of one array: element i of the array is element offset + i of its buffers. buffers[0]
// is the validity bitmap of the types that have one (null: no nulls).
struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

// A sequence of arrays of one schema. get_schema and get_next return 0 on success and an errno
// value otherwise, after which get_last_error may describe the failure (its text lives until the
// next call on the stream). get_next signals the end with an array whose `release` is null.
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

#ifdef __cplusplus
}
#endif
