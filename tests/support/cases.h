// A name for each row of a table-driven test whose rows carry none of their
// own, so that a failure says which row failed: the loop over the table
// opens with SCOPED_TRACE(testsupport::caseof(cases, c)). Header only, with
// nothing but the standard library, so that the API test (built against the
// public headers alone) may use it too.
#pragma once

#include <iterator>
#include <string>

namespace testsupport {

// "case N" for `row`, the element N (counted from 0, as written) of `table`,
// an array or a contiguous container that holds it.
template <class Table, class Row>
std::string caseof(const Table& table, const Row& row) {
  return "case " + std::to_string(&row - std::data(table));
}

}  // namespace testsupport
