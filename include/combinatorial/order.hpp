// The two orders of combinations, and the two ways a row of vertices is laid out.
#pragma once

namespace combinatorial {

// Colexicographic: compared by largest differing vertex. Lexicographic: by smallest.
enum class Order { colex, lex };

// Where a row of k vertices starts: with its largest vertex (as colex
// unranking finds them) or with its smallest.
enum class RowLayout { largest_first, smallest_first };

}  // namespace combinatorial
