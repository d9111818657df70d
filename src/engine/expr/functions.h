#pragma once

// Looking up and calling the built-in functions of the expression language, and the descend()
// transform that index keys rely on.

#include <string_view>
#include <vector>

#include "engine/expr/context.h"
#include "engine/expr/node.h"

namespace tav::engine::expr {

struct Builtin;

// Finds a function by its full name or, as the xBase family allows, by an abbreviation of at
// least four letters ("subs", "dele", "alltr"); case does not matter. nullptr when none.
const Builtin* findFunction(std::string_view name);

// A call of fn. A wrong number of arguments is a compile fault. recno() and deleted() bind the
// area that is current in ctx now. Under options.asciiCase upper() and lower() leave every byte
// outside a-z / A-Z as it is.
NodePtr makeCall(const Builtin& fn, std::vector<NodePtr> args, ExprContext& ctx,
                 std::string_view text, const CompileOptions& options = {});

// descend() of text: each byte replaced by the byte whose collation weight mirrors its own
// (255 - weight), so that texts of equal length order by the collation in reverse. Applying it
// twice gives the original bytes.
void descendInPlace(char* p, size_t n);

}  // namespace tav::engine::expr
