#include "binding/borrow.hpp"

#include "binding/messages.hpp"

namespace marrowvale {

void BorrowFlag::refuse(Access mode) {
    PyErr_SetString(PyExc_RuntimeError,
                    mode == Access::write ? messages::kAlreadyBorrowed : messages::kAlreadyMutablyBorrowed);
    throw PythonErrorSet{};
}

}  // namespace marrowvale
