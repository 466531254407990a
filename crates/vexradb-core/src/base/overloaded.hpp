#pragma once

namespace vexradb {

// Builds one visitor for std::visit out of several lambdas, one per alternative.
template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
template <class... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

}  // namespace vexradb
