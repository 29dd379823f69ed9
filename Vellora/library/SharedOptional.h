#pragma once
// An optional value kept in a block of its own that copies share, for a
// large field only a few records have (the insight of a link). Inline, as a
// std::optional, it would take its whole size in every record of a library
// and in every copy of its list; here a record without it pays one pointer.
//
// Reads like a std::optional (test, *, ->, value_or, reset); the value is
// only ever replaced as a whole, never changed where it is, so copies that
// share it never see each other's changes.

#include <memory>
#include <optional>
#include <utility>

namespace vellora {

template <typename T> class SharedOptional {
public:
    SharedOptional() = default;
    SharedOptional(std::nullopt_t) {}
    SharedOptional(const T &value) : m_value(std::make_shared<const T>(value)) {}
    SharedOptional(T &&value) : m_value(std::make_shared<const T>(std::move(value))) {}
    SharedOptional(const std::optional<T> &value)
        : m_value(value ? std::make_shared<const T>(*value) : std::shared_ptr<const T>())
    {
    }
    SharedOptional(std::optional<T> &&value)
        : m_value(value ? std::make_shared<const T>(std::move(*value)) : std::shared_ptr<const T>())
    {
    }

    bool has_value() const { return bool(m_value); }
    explicit operator bool() const { return bool(m_value); }
    const T &operator*() const { return *m_value; }
    const T *operator->() const { return m_value.get(); }
    const T &value() const
    {
        if (!m_value)
            throw std::bad_optional_access();
        return *m_value;
    }
    T value_or(T otherwise) const { return m_value ? *m_value : std::move(otherwise); }
    void reset() { m_value.reset(); }
    std::optional<T> toOptional() const { return m_value ? std::optional<T>(*m_value) : std::nullopt; }

    friend bool operator==(const SharedOptional &a, const SharedOptional &b)
    {
        if (a.m_value == b.m_value)
            return true;
        return a.m_value && b.m_value && *a.m_value == *b.m_value;
    }
    friend bool operator==(const SharedOptional &a, std::nullopt_t) { return !a.m_value; }

private:
    std::shared_ptr<const T> m_value;
};

} // namespace vellora
