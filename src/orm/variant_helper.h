#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

// Construction, copy, move and destruction of the active alternative of a tagged union whose
// storage is raw bytes. The tag is the 1-based position of the type in the list; 0 means empty.
template <typename... Ts>
struct variant_helper;

template <>
struct variant_helper<> {
    static void destroy(std::size_t, void*) {}
    static void copy(std::size_t, const void*, void*) {}
    static void move(std::size_t, void*, void*) {}
    template <typename T>
    static constexpr std::size_t index_of(std::size_t = 1) {
        static_assert(sizeof(T) == 0, "type is not an alternative");
        return 0;
    }
};

template <typename F, typename... Ts>
struct variant_helper<F, Ts...> {
    using rest = variant_helper<Ts...>;

    // Tag of T in this list, counting from `first`.
    template <typename T>
    static constexpr std::size_t index_of(std::size_t first = 1) {
        if constexpr (std::is_same_v<T, F>) {
            return first;
        } else {
            return rest::template index_of<T>(first + 1);
        }
    }

    static void destroy(std::size_t tag, void* data, std::size_t self = 1) {
        if (tag == self) {
            static_cast<F*>(data)->~F();
        } else if constexpr (sizeof...(Ts) > 0) {
            variant_helper<Ts...>::destroy(tag, data, self + 1);
        }
    }

    static void copy(std::size_t tag, const void* from, void* to, std::size_t self = 1) {
        if (tag == self) {
            new (to) F(*static_cast<const F*>(from));
        } else if constexpr (sizeof...(Ts) > 0) {
            variant_helper<Ts...>::copy(tag, from, to, self + 1);
        }
    }

    static void move(std::size_t tag, void* from, void* to, std::size_t self = 1) {
        if (tag == self) {
            new (to) F(std::move(*static_cast<F*>(from)));
        } else if constexpr (sizeof...(Ts) > 0) {
            variant_helper<Ts...>::move(tag, from, to, self + 1);
        }
    }
};
