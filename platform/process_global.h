// Objects of static storage that live exactly as long as the process. On the real system they are
// built during static initialisation and never torn down, so no thread still running at exit can
// touch a destroyed object. The simulated machine builds them afresh for every simulated run and
// tears them down once all of that run's threads are gone.
#pragma once

#include <new>

namespace platform {

class ProcessGlobalBase {
 public:
  virtual void Construct() = 0;
  virtual void Destroy() = 0;

 protected:
  ~ProcessGlobalBase() = default;
};

// Called once per object, in definition order, during static initialisation.
void RegisterProcessGlobal(ProcessGlobalBase& global);

template <class T>
class ProcessGlobal final : public ProcessGlobalBase {
 public:
  ProcessGlobal() { RegisterProcessGlobal(*this); }
  ProcessGlobal(const ProcessGlobal&) = delete;
  ProcessGlobal& operator=(const ProcessGlobal&) = delete;

  T& operator*() const { return *object_; }
  T* operator->() const { return object_; }

  void Construct() override { object_ = ::new (static_cast<void*>(storage_)) T(); }
  void Destroy() override {
    object_->~T();
    object_ = nullptr;
  }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
  T* object_ = nullptr;
};

}  // namespace platform
