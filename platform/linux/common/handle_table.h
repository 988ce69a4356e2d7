// The handle table: handle tokens for the objects the Linux platform layer
// hands out by handle, AVI files and streams, compressor instances and
// settings keys (video/) and events (kernel/).
//
// The callers see PAVIFILE, PAVISTREAM, HIC, HKEY and HANDLE as opaque
// pointers and never look through them. We hand out numbers instead of
// addresses: a token is never reused, so a handle that has been released or
// closed is simply not found any more, even when the caller still holds a
// copy of it (the recorder keeps copies of its segment handles in more than
// one slot), and a stale or invented handle can never reach freed or foreign
// memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

// Returns a fresh token: non-zero, 16-byte aligned like a real object
// address, unique across every table of the process. Any thread.
inline std::uintptr_t handle_token_next() {
  static std::atomic<std::uintptr_t> next{0x10000};
  return next.fetch_add(16, std::memory_order_relaxed);
}

// Live objects of one kind by token. Every member may be called from any
// thread; the lock is held only for the map operation itself, so callers may
// keep the returned object in use while another thread removes its token.
template <class T>
class HandleTable {
 public:
  // Registers obj and returns its new token.
  std::uintptr_t add(std::shared_ptr<T> obj) {
    std::uintptr_t token = handle_token_next();
    std::lock_guard<std::mutex> lock(mutex_);
    map_.emplace(token, std::move(obj));
    return token;
  }

  // The object registered under token, or null.
  std::shared_ptr<T> find(std::uintptr_t token) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(token);
    return it == map_.end() ? nullptr : it->second;
  }

  // Removes token and returns its object, or null when it was not
  // registered (or accept(object) says no, in which case it stays).
  template <class Accept>
  std::shared_ptr<T> take_if(std::uintptr_t token, Accept accept) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map_.find(token);
    if (it == map_.end() || !accept(*it->second)) return nullptr;
    std::shared_ptr<T> obj = std::move(it->second);
    map_.erase(it);
    return obj;
  }

  std::shared_ptr<T> take(std::uintptr_t token) {
    return take_if(token, [](const T&) { return true; });
  }

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::uintptr_t, std::shared_ptr<T>> map_;  // under mutex_
};

// A table that lives as long as the process. It is never destroyed, so that
// handles still open at exit (the recorder leaves its last segments open when
// it is stopped) are neither finalised nor freed behind the caller's back
// while other threads may still be running.
template <class T>
HandleTable<T>& process_handle_table() {
  static HandleTable<T>* table = new HandleTable<T>;
  return *table;
}

template <class H>
std::uintptr_t handle_token(H handle) {
  return reinterpret_cast<std::uintptr_t>(handle);
}

template <class H>
H handle_from_token(std::uintptr_t token) {
  return reinterpret_cast<H>(token);
}
