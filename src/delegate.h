#pragma once

#include <utility>

// A two-word callable: an object pointer and a stub that calls one member function (or one free
// function) on it. The function is a template argument, so a call is one indirect jump with no
// virtual dispatch and constructing a delegate never allocates. Hot paths keep tables of these.
template <typename Signature>
class delegate;

template <typename R, typename... A>
class delegate<R(A...)> {
  public:
    using stub_type = R (*)(void*, A...);

    constexpr delegate() = default;

    template <class C, R (C::*Method)(A...)>
    static delegate from_method(C* object) {
        return delegate(object, &method_stub<C, Method>);
    }

    template <class C, R (C::*Method)(A...) const>
    static delegate from_const_method(const C* object) {
        return delegate(const_cast<C*>(object), &const_method_stub<C, Method>);
    }

    template <R (*Function)(A...)>
    static delegate from_function() {
        return delegate(nullptr, &function_stub<Function>);
    }

    R operator()(A... args) const { return stub_(object_, std::forward<A>(args)...); }

    explicit operator bool() const { return stub_ != nullptr; }
    bool operator==(const delegate& o) const { return object_ == o.object_ && stub_ == o.stub_; }
    bool operator!=(const delegate& o) const { return !(*this == o); }

    void* object() const { return object_; }

  private:
    delegate(void* object, stub_type stub) : object_(object), stub_(stub) {}

    template <class C, R (C::*Method)(A...)>
    static R method_stub(void* object, A... args) {
        return (static_cast<C*>(object)->*Method)(std::forward<A>(args)...);
    }

    template <class C, R (C::*Method)(A...) const>
    static R const_method_stub(void* object, A... args) {
        return (static_cast<const C*>(object)->*Method)(std::forward<A>(args)...);
    }

    template <R (*Function)(A...)>
    static R function_stub(void*, A... args) {
        return Function(std::forward<A>(args)...);
    }

    void* object_ = nullptr;
    stub_type stub_ = nullptr;
};
