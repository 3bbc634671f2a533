// The two orders of combinations, and the two ways a row of vertices is laid out.
#pragma once

#include <type_traits>

namespace combinatorial {

// Colexicographic: compared by largest differing vertex. Lexicographic: by smallest.
enum class Order { colex, lex };

// Where a row of k vertices starts: with its largest vertex (as colex
// unranking finds them) or with its smallest.
enum class RowLayout { largest_first, smallest_first };

template <Order O>
using OrderConstant = std::integral_constant<Order, O>;

// Calls body(OrderConstant<O>{}) for the order given, so that templates are
// chosen by the enum. The one switch on an order's value: with -Werror=switch
// a new order that is not handled here fails to compile.
template <typename Body>
decltype(auto) with_order(Order order, Body&& body) {
  switch (order) {
    case Order::colex: return body(OrderConstant<Order::colex>{});
    case Order::lex: return body(OrderConstant<Order::lex>{});
  }
  __builtin_unreachable();
}

// Whether order O compares smallest vertices first. The kernels' choices
// between the two orders all read it, so a new order must be placed here.
template <Order O>
constexpr bool is_lex() noexcept {
  static_assert(O == Order::colex || O == Order::lex, "every order must say how it compares rows");
  return O == Order::lex;
}

}  // namespace combinatorial
