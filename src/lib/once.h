// Words that a path without the lock reads while a locked path changes
// them: each is read and written whole, as the kernel's READ_ONCE and
// WRITE_ONCE do, so a reader sees the old value or the new one.
#pragma once

namespace kv {

template <typename T> inline T read_once(const T &v) {
    return __atomic_load_n(&v, __ATOMIC_RELAXED);
}
template <typename T> inline void write_once(T &v, T value) {
    __atomic_store_n(&v, value, __ATOMIC_RELAXED);
}

// For a pointer to a record that was filled before it was published.
template <typename T> inline T *read_published(T *const &p) {
    return __atomic_load_n(&p, __ATOMIC_ACQUIRE);
}
template <typename T> inline void publish_pointer(T *&p, T *value) {
    __atomic_store_n(&p, value, __ATOMIC_RELEASE);
}

} // namespace kv
