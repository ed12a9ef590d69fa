// Types of the nodes of a rule's condition (ExprNode::type, ExprRecord::type):
// the front end writes them, the image builder checks and encodes them.
#ifndef TAVO_EXPR_TYPE_H
#define TAVO_EXPR_TYPE_H

#include <cstdint>

enum ExprType : uint32_t {
    ExprNone = 0,
    ExprNot = 1,
    ExprAnd = 2,
    ExprOr = 3,
    ExprCall = 4,
    ExprGreater = 5,
    ExprLess = 6,
    ExprEqual = 7,
    ExprLessEqual = 8,
    ExprGreaterEqual = 9,
    ExprNotEqual = 10,
    ExprVariable = 11,
    ExprDynamicVariable = 12,
};

#endif
