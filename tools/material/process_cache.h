// Values made once per key and kept for the life of the process: the
// schemas read from a deliverable (loading a plug-in or parsing a
// declaration again would give the same answer, slowly) and the schemas
// merged from them.
#pragma once

#include <map>
#include <memory>
#include <mutex>

namespace gws {

template <class Key, class T>
class ProcessCache {
 public:
  // The value for `key`, made by `make()` on the first call. The value is
  // made under the cache's lock, so two threads asking at once make it once
  // (and a maker that touches process-wide host state runs alone). A failure
  // (null) is not kept: the next call tries again.
  template <class Make>
  std::shared_ptr<const T> get(const Key& key, Make make) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = values_.find(key); it != values_.end()) return it->second;
    std::shared_ptr<const T> value = make();
    if (value) values_.emplace(key, value);
    return value;
  }

 private:
  std::mutex mutex_;
  std::map<Key, std::shared_ptr<const T>> values_;
};

}  // namespace gws
