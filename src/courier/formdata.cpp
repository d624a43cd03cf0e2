// _to_formdata: plain fields and files into one aiohttp.FormData.
#include "courier/courier.hpp"

namespace courier {

static kp::Name s_FormData{"FormData"}, s_add_field{"add_field"}, s_items{"items"}, s_read{"read"}, s_name{"name"},
    s_file{"file"}, s_empty{""}, s_octet_stream{"application/octet-stream"}, s_files_head{"files['"},
    s_files_tail{"'] tuple 只支持 (filename, fileobj) 或 (filename, fileobj, content_type)"};
static kp::KwNames kw_file_field{"name,value,filename,content_type"};

// for key, value in mapping.items(): each(key, value)
// A dict is walked by its own items iterator too, so a dict that each()
// changes stops the loop with the interpreter's RuntimeError, exactly where
// a Python loop would stop.
template <class Each>
static bool for_each_item(PyObject* mapping, Each&& each) {
    Ref items = kp::call_method(mapping, s_items);
    Ref it = items ? steal(PyObject_GetIter(items.get())) : Ref{};
    if (!it) return false;
    while (Ref item = steal(PyIter_Next(it.get()))) {
        Ref kv[2];
        if (!kp::unpack(item.get(), 2, kv) || !each(kv[0].get(), kv[1].get())) return false;
    }
    return !PyErr_Occurred();
}

// form.add_field(key, "" if value is None else str(value))
static bool add_data_field(PyObject* add_field, PyObject* key, PyObject* value) {
    Ref text = value == Py_None ? kp::borrow(s_empty)
               : PyUnicode_Check(value) ? kp::borrow(value)
                                        : steal(PyObject_Str(value));
    return text && kp::call(add_field, key, text);
}

static bool raise_bad_shape(PyObject* field) {
    Ref name = kp::format_text(field);
    Ref head = name ? steal(PyUnicode_Concat(s_files_head, name.get())) : Ref{};
    Ref message = head ? steal(PyUnicode_Concat(head.get(), s_files_tail)) : Ref{};
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

// A file-like object, (filename, fileobj) or (filename, fileobj, content_type).
static bool add_file_field(PyObject* add_field, PyObject* field, PyObject* entry) {
    Ref parts[3];  // filename, fileobj, content_type
    parts[2] = kp::borrow(s_octet_stream);
    bool missing;
    Ref read = kp::getattr_optional(entry, s_read, &missing);
    if (read) {
        parts[1] = kp::borrow(entry);
        parts[0] = kp::getattr_optional(entry, s_name, &missing);
        if (missing) parts[0] = kp::borrow(s_file);
        if (!parts[0]) return false;
    } else {
        if (!missing) return false;
        // len(fv) == 2, then len(fv) == 3: asked twice, as the Python it
        // mirrors does (a __len__ that changes its answer sees the same calls)
        Py_ssize_t n = PyObject_Length(entry);
        if (n < 0) return false;
        if (n == 2) {
            if (!kp::unpack(entry, 2, parts)) return false;
        } else {
            n = PyObject_Length(entry);
            if (n < 0) return false;
            if (n != 3) return raise_bad_shape(field);
            if (!kp::unpack(entry, 3, parts)) return false;
        }
    }
    int named = PyObject_IsTrue(parts[0].get());
    if (named < 0) return false;
    if (!named) parts[0] = kp::borrow(s_file);
    return bool(kp::call_kw(add_field, kw_file_field, field, parts[1], parts[0], parts[2]));
}

static Ref to_formdata_body(kp::Function& fn, PyObject* const* a) {
    PyObject* data = a[0];
    PyObject* files = a[1];
    Ref aiohttp = fn.global(s_aiohttp);
    Ref form = aiohttp ? kp::call_method(aiohttp.get(), s_FormData) : Ref{};
    Ref add_field = form ? kp::getattr(form.get(), s_add_field) : Ref{};
    if (!add_field) return {};

    int has_data = PyObject_IsTrue(data);
    if (has_data < 0) return {};
    if (has_data && !for_each_item(data, [&](PyObject* key, PyObject* value) {
            return add_data_field(add_field.get(), key, value);
        }))
        return {};

    int has_files = PyObject_IsTrue(files);
    if (has_files < 0) return {};
    if (has_files && !for_each_item(files, [&](PyObject* field, PyObject* entry) {
            return add_file_field(add_field.get(), field, entry);
        }))
        return {};
    return form;
}

static constexpr kp::Param params[] = {{"data", "DataType", kp::Check::none, kp::none_default},
                                        {"files", "FilesType", kp::Check::none, kp::none_default}};
constexpr kp::FunctionDef to_formdata = kp::define("_to_formdata", to_formdata_body, params, nullptr, "aiohttp.FormData");

}  // namespace courier
