// Awaiting from inside a body: what `await` does with an awaitable, the
// delivery of its outcome into the body's Local, and the statement helpers
// built on it (`async with`, `async for`).
#include "runtime/async.hpp"
#include "runtime/call.hpp"
#include "runtime/names.hpp"

namespace kp {

static Name s_aenter{"__aenter__"}, s_aexit{"__aexit__"}, s_aiter{"__aiter__"}, s_anext{"__anext__"};

// ---- await ----------------------------------------------------------------------------

// A generator made by a @types.coroutine function: `await` takes it as it is.
static bool is_generator_coroutine(PyObject* o) {
    if (!PyGen_CheckExact(o)) return false;
    Ref code = steal(PyObject_GetAttrString(o, "gi_code"));
    Ref flags = code ? steal(PyObject_GetAttrString(code.get(), "co_flags")) : Ref{};
    long f = flags ? PyLong_AsLong(flags.get()) : 0;
    PyErr_Clear();
    return f & CO_ITERABLE_COROUTINE;
}

// The iterator that `await o` drives, with the interpreter's checks.
static Ref awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o)) return borrow(o);
    if (Frame* f = coroutine_frame(o)) {
        if (f->awaiting()) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return {};
        }
        return borrow(o);
    }
    unaryfunc getter = Py_TYPE(o)->tp_as_async ? Py_TYPE(o)->tp_as_async->am_await : nullptr;
    if (!getter) {
        if (is_generator_coroutine(o)) return borrow(o);
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
        return {};
    }
    Ref it = steal(getter(o));
    if (!it) return {};
    if (PyCoro_CheckExact(it.get()) || is_generator_coroutine(it.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return {};
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.get())->tp_name);
        return {};
    }
    return it;
}

void Frame::start_await(Ref awaitable, Ref& to, Finish finish, void* by) {
    into_word = word_of(&to);
    finishing = finish;
    helper_word = by ? word_of(by) : 0;
    value.reset();
    ready = true;
    PyObject* it = awaitable.release();
    // a coroutine is its own iterator: the common case, without a lookup
    if (it && !PyCoro_CheckExact(it)) it = awaitable_iter(steal(it).get()).release();
    if (it) {
        PyObject* r = nullptr;
        const PySendResult st = PyIter_Send(it, Py_None, &r);
        value = steal(r);
        if (st == PYGEN_NEXT) {
            delegate = steal(it);
            ready = false;
            return;
        }
        Py_DECREF(it);
    }
    deliver();
}

void Frame::deliver_finished() noexcept {
    Ref& into = *static_cast<Ref*>(at_word(into_word));
    void* helper = at_word(helper_word);
    Ref outcome = std::move(value);
    switch (finishing) {
    case Finish::entered:
        outcome = static_cast<AsyncWith*>(helper)->entered(std::move(outcome));
        break;
    case Finish::exited:
        outcome = static_cast<AsyncWith*>(helper)->exited(std::move(outcome));
        break;
    default:  // Finish::next
        outcome = static_cast<AsyncFor*>(helper)->stepped(std::move(outcome));
        break;
    }
    into = std::move(outcome);
}

Awaiting await_method(PyObject* self, PyObject* name, Local& into) noexcept {
    Frame::current->start_await(call_method(self, name), into);
    return {};
}

Awaiting await_object(Ref awaitable, Local& into) noexcept {
    Frame::current->start_await(std::move(awaitable), into);
    return {};
}

// ---- async with ------------------------------------------------------------------------

Awaiting AsyncWith::enter(Local& manager_and_value) noexcept {
    Ref manager = std::move(manager_and_value);
    Ref awaitable;
    if (manager) {
        bool enter_unbound = false, exit_unbound = false;
        Ref aenter = lookup_special_method(manager.get(), s_aenter, &enter_unbound);
        if (aenter) exit_ = lookup_special_method(manager.get(), s_aexit, &exit_unbound);
        if (!aenter || !exit_) {
            refuse_missing(manager.get(),
                           aenter ? "'%.100s' object does not support the asynchronous context manager protocol "
                                    "(missed __aexit__ method)"
                                  : "'%.100s' object does not support the asynchronous context manager protocol");
        } else {
            awaitable = enter_unbound ? call(aenter.get(), manager) : call(aenter.get());
            if (exit_unbound) manager_ = std::move(manager);
        }
    }
    Frame::current->start_await(std::move(awaitable), manager_and_value, Frame::Finish::entered, this);
    return {};
}

Ref AsyncWith::entered(Ref value) noexcept {
    if (!value) {  // not entered: nothing to exit
        exit_.reset();
        manager_.reset();
    }
    return value;
}

Awaiting AsyncWith::exit(Local& result) noexcept {
    Frame& f = *Frame::current;
    if (!exit_) {
        // never entered: the block's outcome passes on, where it is
        f.ready = true;
        return {};
    }
    f.start_await(begin_exit(f, std::move(result)), result, Frame::Finish::exited, this);
    return {};
}

Ref AsyncWith::begin_exit(Frame& f, Ref result) noexcept {
    if (result) {
        f.result = std::move(result);  // kept there while __aexit__ runs
        return manager_ ? call(exit_.get(), manager_, Py_None, Py_None, Py_None)
                        : call(exit_.get(), Py_None, Py_None, Py_None);
    }
    f.add_traceback();  // __aexit__ sees the error as having passed through the body
    Exc error = Exc::fetch();
    f.exit_previous_handled = push_handled(f, error.value());
    Ref tb = error.traceback();
    return manager_ ? call(exit_.get(), manager_, error.type(), error.value(), tb)
                    : call(exit_.get(), error.type(), error.value(), tb);
}

Ref AsyncWith::exited(Ref exit_result) noexcept {
    Frame& f = *Frame::current;
    exit_.reset();
    manager_.reset();
    if (f.result) {
        Ref result = std::move(f.result);
        if (!exit_result) return {};
        return result;
    }
    Exc error = Exc::from(f.handled);  // what __aexit__ was handed
    int suppress = exit_result ? PyObject_IsTrue(exit_result.get()) : -1;
    pop_handled(f, std::move(f.exit_previous_handled));
    return exit_outcome(error, suppress);
}

// ---- async for ------------------------------------------------------------------------

bool AsyncFor::begin(PyObject* iterable) noexcept {
    Ref aiter = lookup_special(iterable, s_aiter);
    if (!aiter) {
        refuse_missing(iterable, "'async for' requires an object with __aiter__ method, got %.100s");
        return false;
    }
    it_ = call(aiter.get());
    if (!it_) return false;
    anext_ = lookup_special_method(it_.get(), s_anext, &anext_unbound_);
    if (!anext_)
        refuse_missing(it_.get(), "'async for' received an object from __aiter__ that does not implement __anext__: %.100s");
    return bool(anext_);
}

Awaiting AsyncFor::next(Local& item) noexcept {
    Frame::current->start_await(anext_unbound_ ? call(anext_.get(), it_) : call(anext_.get()), item,
                                Frame::Finish::next, this);
    return {};
}

Ref AsyncFor::stepped(Ref item) noexcept {
    if (!item && PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
        PyErr_Clear();
        exhausted_ = true;
    }
    return item;
}

}  // namespace kp
