// Field lists of the host objects: one row per compared field, holding the member and, where the
// light pass refreshes the field from a health record, how. Object equality and the light pass's
// copy both walk the same list, so a field cannot be compared but not refreshed or the reverse.
// Constant tables and pure functions; safe on any thread.
#pragma once

#include <tuple>

#include "AdapterInfo.h"

namespace NAMESPACE_Varnock {

template <typename Object, typename T>
struct ObjectField {
  T Object::*member;
  T (*fromHealth)(const HealthInfo&);  // null: the light pass leaves the field alone
};

// A compared field that only the scan sets.
template <typename Object, typename T>
constexpr ObjectField<Object, T> Compared(T Object::*member) {
  return {member, nullptr};
}

// A compared field that the light pass also refreshes from the drive's health.
template <typename Object, typename T>
constexpr ObjectField<Object, T> Refreshed(T Object::*member, T (*fromHealth)(const HealthInfo&)) {
  return {member, fromHealth};
}

// True when every listed field of `a` equals that of `b`.
template <typename Object, typename Fields>
bool ListedFieldsEqual(const Object& a, const Object& b, const Fields& fields) {
  return std::apply(
      [&](const auto&... field) { return ((a.*(field.member) == b.*(field.member)) && ...); },
      fields);
}

// Sets every refreshed field of `object` from `health`.
template <typename Object, typename Fields>
void RefreshListedFields(const HealthInfo& health, Object& object, const Fields& fields) {
  std::apply(
      [&](const auto&... field) {
        ((field.fromHealth != nullptr ? void(object.*(field.member) = field.fromHealth(health))
                                      : void()),
         ...);
      },
      fields);
}

}  // namespace NAMESPACE_Varnock
