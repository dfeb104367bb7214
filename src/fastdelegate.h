#pragma once

#include "delegate.h"

namespace fastdelegate {

// Callable without arguments, bound to an object and one of its member functions
// (for instance the packet allocator that the Muxer hands to every output).
template <typename R>
using FastDelegate0 = ::delegate<R()>;

template <auto Method, class C>
FastDelegate0<decltype((std::declval<C*>()->*Method)())> MakeDelegate(C* object) {
    using R = decltype((std::declval<C*>()->*Method)());
    return FastDelegate0<R>::template from_method<C, Method>(object);
}

}  // namespace fastdelegate
