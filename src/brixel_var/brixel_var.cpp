// brixel_var: the state store of threads_main, a plain class of attribute fields plus keyed task entries.
//
// A BrixelVar holds two separate namespaces:
//   - fields: ordinary instance attributes in the managed __dict__; a field never stored reads as None
//     (dunder names excepted, so copy/pickle/hasattr protocols see the usual AttributeError);
//   - entries: a dict from key to BrixelVarEntry, created on the first set(), reached through
//     set/get/keys/items/clear.
// Every operation is one C call made under the interpreter lock, which is what makes concurrent set()
// and keys() iteration safe; keys() iterates over a snapshot list taken in one such call.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <unordered_map>
#include <utility>

#include "brixel_var_api.h"
#include "support/exit.hpp"
#include "support/ref.hpp"

namespace {

using threads_main::Ref;

struct State {
    PyObject* store_type;
    PyObject* entry_type;
    PyObject* keys_type;
    BrixelVarApi api;
    // The dict watcher that keeps field caches true, when `watching` (else stores read uncached; the
    // state starts zeroed, and 0 is a watcher's id).
    int watcher;
    bool watching;
};

struct FieldCache;

struct StoreObject {
    PyObject_HEAD
    PyObject* entries;  // dict key -> entry, or NULL until the first set()
    FieldCache* cache;  // the fields read so far, or NULL
    bool uncached;      // the dict cannot be watched: every read looks it up
};

// One per task, so it stays at three fixed slots plus a dict pointer that stays NULL unless a mapping
// brings keys other than the three the manager uses.
struct EntryObject {
    PyObject_HEAD
    PyObject* thread;
    PyObject* result;
    PyObject* status;
    PyObject* dict;
};

struct KeysObject {
    PyObject_HEAD
    PyObject* store;  // the store itself, so membership and len() follow its live entries
};

State* state_of(PyObject* module) noexcept
{
    return static_cast<State*>(PyModule_GetState(module));
}

StoreObject* as_store(PyObject* self) noexcept
{
    return reinterpret_cast<StoreObject*>(self);
}

EntryObject* as_entry(PyObject* self) noexcept
{
    return reinterpret_cast<EntryObject*>(self);
}

KeysObject* as_keys(PyObject* self) noexcept
{
    return reinterpret_cast<KeysObject*>(self);
}

// PyMethodDef and PyType_Slot store untyped function pointers; the detour through void(*)() keeps
// -Wcast-function-type quiet about the deliberate signature change.
template <typename F>
PyCFunction as_method(F f) noexcept
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <typename F>
void* as_slot(F f) noexcept
{
    return reinterpret_cast<void*>(f);
}

bool is_dunder(PyObject* name) noexcept
{
    Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    if (n < 4) {
        return false;
    }
    int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    return PyUnicode_READ(kind, data, 0) == '_' && PyUnicode_READ(kind, data, 1) == '_'
        && PyUnicode_READ(kind, data, n - 2) == '_' && PyUnicode_READ(kind, data, n - 1) == '_';
}

// Whether a store's entries dict (possibly NULL) has `key`: 1, 0, or -1 with an error set.
int entries_contain(PyObject* entries, PyObject* key) noexcept
{
    // A key's __eq__ runs Python code: keep the dict alive through the lookup.
    Ref held = Ref::borrow(entries);
    return held ? PyDict_Contains(held.get(), key) : 0;
}

// Generic lookup with the None default for plain names; the AttributeError of a dunder name stays.
PyObject* getattr_or_none(PyObject* self, PyObject* name) noexcept
{
    PyObject* value = PyObject_GenericGetAttr(self, name);
    if (value || !PyUnicode_Check(name) || is_dunder(name) || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Py_RETURN_NONE;
}

// "a=1, b=2" from the items of a dict, appended to `parts`.
int repr_dict_items(PyObject* parts, PyObject* dict) noexcept
{
    Ref items = Ref::steal(PyDict_Items(dict));
    if (!items) {
        return -1;
    }
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);  // borrowed: items owns it
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        Ref part = Ref::steal(PyUnicode_Check(key) ? PyUnicode_FromFormat("%U=%R", key, value)
                                                   : PyUnicode_FromFormat("%R=%R", key, value));
        if (!part) {
            return -1;
        }
        if (PyList_Append(parts, part.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

// "TypeName(part, part, ...)".
PyObject* join_repr(PyObject* self, PyObject* parts) noexcept
{
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!type_name) {
        return nullptr;
    }
    Ref sep = Ref::steal(PyUnicode_FromString(", "));
    if (!sep) {
        return nullptr;
    }
    Ref body = Ref::steal(PyUnicode_Join(sep.get(), parts));
    if (!body) {
        return nullptr;
    }
    return PyUnicode_FromFormat("%U(%U)", type_name.get(), body.get());
}

// ---------------------------------------------------------------------------------------------------
// BrixelVarEntry

int entry_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    EntryObject* e = as_entry(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(e->thread);
    Py_VISIT(e->result);
    Py_VISIT(e->status);
    Py_VISIT(e->dict);
    return 0;
}

// An entry takes part in the collector's work only while it may be part of a cycle: a finished
// task's entry holds None, a status word and a plain result, and a run of a million tasks would
// otherwise have every collection of the oldest generation walk a million entries. The rule is the
// one CPython's own dicts and tuples follow: a value may be part of a cycle when it is a container,
// unless it is a tuple the collector has already found to hold none.
// (A type object counts as a container whether or not it is a heap type: a needless tracking costs
// no more than the collector's walk.)
bool may_be_tracked(PyObject* o) noexcept
{
    return o && PyType_IS_GC(Py_TYPE(o)) && (!PyTuple_CheckExact(o) || PyObject_GC_IsTracked(o));
}

void track(PyObject* self) noexcept
{
    if (!PyObject_GC_IsTracked(self)) {
        PyObject_GC_Track(self);
    }
}

// Tracks the entry when one of its values may be part of a cycle, and lets go of it otherwise. An
// entry with a dict of its own stays tracked: the dict is open to writes that do not pass here.
void update_tracking(PyObject* self) noexcept
{
    EntryObject* e = as_entry(self);
    if (e->dict || may_be_tracked(e->thread) || may_be_tracked(e->result) || may_be_tracked(e->status)) {
        track(self);
    } else if (PyObject_GC_IsTracked(self)) {
        PyObject_GC_UnTrack(self);
    }
}

int entry_clear(PyObject* self) noexcept
{
    EntryObject* e = as_entry(self);
    Py_CLEAR(e->thread);
    Py_CLEAR(e->result);
    Py_CLEAR(e->status);
    Py_CLEAR(e->dict);
    return 0;
}

// An entry's result may be another entry, and so on for as long as a caller likes: the trashcan
// defers the deeper deallocations, as CPython's own containers do, rather than recursing once per
// link.
void entry_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, entry_dealloc)
    entry_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyObject* entry_repr(PyObject* self) noexcept
{
    int rc = Py_ReprEnter(self);
    if (rc != 0) {
        return rc > 0 ? PyUnicode_FromString("BrixelVarEntry(...)") : nullptr;
    }
    struct Leave {
        PyObject* self;
        ~Leave() { Py_ReprLeave(self); }
    } leave{self};

    EntryObject* e = as_entry(self);
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) {
        return nullptr;
    }
    // A repr runs Python code that may reassign the other slots: hold all three values first.
    const std::pair<const char*, Ref> slots[] = {
        {"thread", Ref::borrow(e->thread)}, {"result", Ref::borrow(e->result)}, {"status", Ref::borrow(e->status)}};
    for (const auto& [name, value] : slots) {
        if (!value) {
            continue;
        }
        Ref part = Ref::steal(PyUnicode_FromFormat("%s=%R", name, value.get()));
        if (!part) {
            return nullptr;
        }
        if (PyList_Append(parts.get(), part.get()) < 0) {
            return nullptr;
        }
    }
    if (e->dict) {
        Ref dict = Ref::borrow(e->dict);
        if (repr_dict_items(parts.get(), dict.get()) < 0) {
            return nullptr;
        }
    }
    return join_repr(self, parts.get());
}

// A write from Python may store anything, in a slot or in the entry's dict: the entry is tracked
// again first. So is an entry whose dict is handed out.
int entry_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept
{
    track(self);
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject* entry_get_dict(PyObject* self, void* context) noexcept
{
    track(self);
    return PyObject_GenericGetDict(self, context);
}

int entry_set_dict(PyObject* self, PyObject* value, void* context) noexcept
{
    track(self);
    return PyObject_GenericSetDict(self, value, context);
}

// Stores one key of the mapping given to set(): the three task fields go to their slots, anything else
// to the entry's own dict, so a dunder key cannot reach a descriptor such as __class__.
int entry_assign(EntryObject* e, PyObject* key, PyObject* value) noexcept
{
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "entry keys must be strings, not %T", key);
        return -1;
    }
    PyObject** slot = nullptr;
    if (PyUnicode_EqualToUTF8(key, "status")) {
        slot = &e->status;
    }
    else if (PyUnicode_EqualToUTF8(key, "thread")) {
        slot = &e->thread;
    }
    else if (PyUnicode_EqualToUTF8(key, "result")) {
        slot = &e->result;
    }
    if (slot) {
        Py_XSETREF(*slot, Py_NewRef(value));
        return 0;
    }
    if (!e->dict) {
        e->dict = PyDict_New();
        if (!e->dict) {
            return -1;
        }
    }
    return PyDict_SetItem(e->dict, key, value);
}

// A new entry holding the three task fields, or empty with an error set.
Ref new_entry(State* st, PyObject* thread, PyObject* result, PyObject* status) noexcept
{
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(st->entry_type);
    Ref entry = Ref::steal(type->tp_alloc(type, 0));
    if (entry) {
        EntryObject* e = as_entry(entry.get());
        e->thread = Py_NewRef(thread);
        e->result = Py_NewRef(result);
        e->status = Py_NewRef(status);
        update_tracking(entry.get());
    }
    return entry;
}

Ref make_entry(State* st, PyObject* mapping) noexcept
{
    Ref entry = new_entry(st, Py_None, Py_None, Py_None);
    if (!entry) {
        return Ref();
    }
    EntryObject* e = as_entry(entry.get());

    if (PyDict_Check(mapping)) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            // Borrowed from the dict, which a key's __eq__ could change: hold them for the call.
            Ref k = Ref::borrow(key);
            Ref v = Ref::borrow(value);
            if (entry_assign(e, k.get(), v.get()) < 0) {
                return Ref();
            }
        }
        update_tracking(entry.get());
        return entry;
    }

    // No items() means no mapping; an AttributeError raised inside the mapping's own items() is the
    // caller's to see as it is.
    PyObject* method = nullptr;
    int found = PyObject_GetOptionalAttrString(mapping, "items", &method);
    Py_XDECREF(method);
    if (found <= 0) {
        if (found == 0) {
            PyErr_Format(PyExc_TypeError, "value must be a mapping, not %T", mapping);
        }
        return Ref();
    }
    Ref listed = Ref::steal(PyMapping_Items(mapping));
    if (!listed) {
        return Ref();
    }
    // The list may be the mapping's own, which a key's __hash__ or an old value's __del__ could
    // change while the pairs are assigned: they are read from a copy that nothing else holds.
    Ref items = Ref::steal(PyList_AsTuple(listed.get()));
    if (!items) {
        return Ref();
    }
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(items.get(), i);  // borrowed: items owns it
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_Format(PyExc_TypeError, "items() of %T must give (key, value) pairs", mapping);
            return Ref();
        }
        if (entry_assign(e, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) {
            return Ref();
        }
    }
    update_tracking(entry.get());
    return entry;
}

PyMemberDef entry_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(EntryObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The three task fields' descriptors. A write through one, however it is reached (object.__setattr__
// and the descriptor's own __set__ pass by entry_setattro), tracks the entry again.
struct EntryField {
    const char* name;
    PyObject* EntryObject::*slot;
};

const EntryField entry_thread{"thread", &EntryObject::thread};
const EntryField entry_result{"result", &EntryObject::result};
const EntryField entry_status{"status", &EntryObject::status};

PyObject* entry_field_get(PyObject* self, void* closure) noexcept
{
    const auto* f = static_cast<const EntryField*>(closure);
    PyObject* value = as_entry(self)->*(f->slot);
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name, f->name);
        return nullptr;
    }
    return Py_NewRef(value);
}

int entry_field_set(PyObject* self, PyObject* value, void* closure) noexcept
{
    const auto* f = static_cast<const EntryField*>(closure);
    PyObject*& slot = as_entry(self)->*(f->slot);
    if (!value && !slot) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name, f->name);
        return -1;
    }
    track(self);
    Py_XSETREF(slot, Py_XNewRef(value));
    return 0;
}

PyGetSetDef entry_getset[] = {
    {"thread", entry_field_get, entry_field_set, "The task's thread, or None.", const_cast<EntryField*>(&entry_thread)},
    {"result", entry_field_get, entry_field_set, "The task's outcome, or None.", const_cast<EntryField*>(&entry_result)},
    {"status", entry_field_get, entry_field_set, "The task's status word.", const_cast<EntryField*>(&entry_status)},
    {"__dict__", entry_get_dict, entry_set_dict, "dictionary for instance variables", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_doc, const_cast<char*>("One keyed entry of a BrixelVar: the attributes are the keys of the mapping\n"
                                  "given to set(); an attribute never stored reads as None.")},
    {Py_tp_dealloc, as_slot(entry_dealloc)},
    {Py_tp_traverse, as_slot(entry_traverse)},
    {Py_tp_clear, as_slot(entry_clear)},
    {Py_tp_repr, as_slot(entry_repr)},
    {Py_tp_getattro, as_slot(getattr_or_none)},
    {Py_tp_setattro, as_slot(entry_setattro)},
    {Py_tp_members, entry_members},
    {Py_tp_getset, entry_getset},
    {0, nullptr},
};

PyType_Spec entry_spec = {
    "brixel_var.BrixelVarEntry",
    sizeof(EntryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    entry_slots,
};

// ---------------------------------------------------------------------------------------------------
// BrixelVarKeys

int keys_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_keys(self)->store);
    return 0;
}

int keys_clear(PyObject* self) noexcept
{
    Py_CLEAR(as_keys(self)->store);
    return 0;
}

void keys_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, keys_dealloc)
    keys_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// The entries dict of the viewed store, or NULL (no error) when there is none.
PyObject* keys_entries(PyObject* self) noexcept
{
    PyObject* store = as_keys(self)->store;
    return store ? as_store(store)->entries : nullptr;
}

int keys_contains(PyObject* self, PyObject* key) noexcept
{
    return entries_contain(keys_entries(self), key);
}

Py_ssize_t keys_len(PyObject* self) noexcept
{
    PyObject* entries = keys_entries(self);
    return entries ? PyDict_GET_SIZE(entries) : 0;
}

// A list of the keys made in one C call: other threads may add entries while the caller iterates, and
// a list iterator does not mind.
PyObject* keys_snapshot(PyObject* self) noexcept
{
    PyObject* entries = keys_entries(self);
    return entries ? PyDict_Keys(entries) : PyList_New(0);
}

PyObject* keys_iter(PyObject* self) noexcept
{
    Ref snapshot = Ref::steal(keys_snapshot(self));
    if (!snapshot) {
        return nullptr;
    }
    return PyObject_GetIter(snapshot.get());
}

PyObject* keys_repr(PyObject* self) noexcept
{
    Ref snapshot = Ref::steal(keys_snapshot(self));
    if (!snapshot) {
        return nullptr;
    }
    return PyUnicode_FromFormat("BrixelVarKeys(%R)", snapshot.get());
}

PyType_Slot keys_slots[] = {
    {Py_tp_doc, const_cast<char*>("The keys of a BrixelVar's entries: membership and len() follow the live entries,\n"
                                  "iteration goes over the keys present when it starts.")},
    {Py_tp_dealloc, as_slot(keys_dealloc)},
    {Py_tp_traverse, as_slot(keys_traverse)},
    {Py_tp_clear, as_slot(keys_clear)},
    {Py_tp_repr, as_slot(keys_repr)},
    {Py_tp_iter, as_slot(keys_iter)},
    {Py_sq_contains, as_slot(keys_contains)},
    {Py_sq_length, as_slot(keys_len)},
    {Py_mp_length, as_slot(keys_len)},
    {0, nullptr},
};

PyType_Spec keys_spec = {
    "brixel_var.BrixelVarKeys",
    sizeof(KeysObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    keys_slots,
};

// ---------------------------------------------------------------------------------------------------
// BrixelVar

// --- the field cache ---
//
// A task reads some thirty fields of its manager's store, each a dict lookup. So a store remembers the
// values it read, in a small table keyed by the name object, and has its dict watched: every change
// of the dict, whatever makes it (an attribute assignment, add(), the C interface, code writing into
// __dict__ itself), forgets the changed name's value before the change is made, and clearing the dict
// forgets them all. A remembered value is borrowed from the dict, which keeps it for as long as nothing
// changes it. Only interned names are remembered: an interned string is the one object of its value,
// so a change under an interned key forgets exactly that entry, and a change under any other key
// forgets everything. A field never stored is remembered as None, which is what it reads as; storing
// it forgets that as any change does.
//
// Only the main interpreter's stores are cached, so that the table of watched dicts is touched only
// under one interpreter lock; a subinterpreter's stores read their dict each time.

// A name is looked for in `cache_probes` places from the one its address picks.
constexpr int cache_bits = 7;
constexpr std::size_t cache_size = std::size_t{1} << cache_bits;
constexpr std::size_t cache_probes = 4;

struct CachedField {
    PyObject* name;   // owned, an exact interned str (its release runs no code), or NULL
    PyObject* value;  // borrowed from the dict (None for a field never stored), or NULL when forgotten
};

struct FieldCache {
    PyObject* dict;  // the watched dict the values come from; the store owns it
    CachedField fields[cache_size];
};

// Changes seen in watched dicts so far, all stores together.
std::uint64_t watched_changes = 0;

// Which store each watched dict belongs to, for the watcher (which is given the dict alone). Never
// destroyed, since a thread may outlive the interpreter's exit.
using Watched = std::unordered_map<PyObject*, StoreObject*>;

Watched& watched()
{
    static Watched* w = new Watched();
    return *w;
}

std::size_t home_of(PyObject* name) noexcept
{
    auto bits = (reinterpret_cast<std::uintptr_t>(name) >> 4) * UINT64_C(0x9E3779B97F4A7C15);
    return static_cast<std::size_t>(bits >> (64 - cache_bits));
}

// Where `name` is remembered, or NULL.
CachedField* find_field(FieldCache* cache, PyObject* name) noexcept
{
    std::size_t home = home_of(name);
    for (std::size_t i = 0; i < cache_probes; ++i) {
        CachedField& f = cache->fields[(home + i) & (cache_size - 1)];
        if (f.name == name) {
            return &f;
        }
    }
    return nullptr;
}

// Where to remember `name`: its own place, else a free one, else the first (whose name gives way).
CachedField& place_for(FieldCache* cache, PyObject* name) noexcept
{
    if (CachedField* f = find_field(cache, name)) {
        return *f;
    }
    std::size_t home = home_of(name);
    for (std::size_t i = 0; i < cache_probes; ++i) {
        CachedField& f = cache->fields[(home + i) & (cache_size - 1)];
        if (!f.name) {
            return f;
        }
    }
    return cache->fields[home];
}

void forget_values(FieldCache* cache) noexcept
{
    for (CachedField& f : cache->fields) {
        f.value = nullptr;
    }
}

void drop_cache(StoreObject* store) noexcept;

int watch_fields(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept
{
    ++watched_changes;
    Watched& w = watched();
    auto it = w.find(dict);
    if (it == w.end()) {
        return 0;
    }
    FieldCache* cache = it->second->cache;
    switch (event) {
    case PyDict_EVENT_ADDED:
    case PyDict_EVENT_MODIFIED:
    case PyDict_EVENT_DELETED:
        if (PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key)) {
            if (CachedField* f = find_field(cache, key)) {
                f->value = nullptr;
            }
        } else {
            forget_values(cache);
        }
        break;
    case PyDict_EVENT_DEALLOCATED:
        forget_values(cache);
        cache->dict = nullptr;
        w.erase(it);
        break;
    case PyDict_EVENT_CLEARED: {
        // The dict drops its values after this event, one at a time, and their finalizers may read
        // or write the store meanwhile, with no event to follow: nothing read or written then may be
        // kept. The store is read uncached until its __dict__ is replaced.
        StoreObject* store = it->second;
        drop_cache(store);
        store->uncached = true;
        break;
    }
    default:  // filled from another dict at once
        forget_values(cache);
        break;
    }
    return 0;
}

// Forgets the store's cache and stops answering for its dict (before the dict is replaced or cleared).
void drop_cache(StoreObject* store) noexcept
{
    FieldCache* cache = std::exchange(store->cache, nullptr);
    if (!cache) {
        return;
    }
    if (cache->dict) {
        Watched& w = watched();
        if (auto it = w.find(cache->dict); it != w.end() && it->second == store) {
            w.erase(it);
        }
    }
    for (CachedField& f : cache->fields) {
        Py_XDECREF(f.name);
    }
    delete cache;
}

// A cache for the store, its dict watched. NULL when the dict cannot be watched (then the store
// is read uncached from now on).
FieldCache* start_cache(PyObject* self, PyObject* dict) noexcept
{
    StoreObject* store = as_store(self);
    store->uncached = true;
    State* st = static_cast<State*>(PyType_GetModuleState(Py_TYPE(self)));
    if (!st || !st->watching) {
        PyErr_Clear();
        return nullptr;
    }
    auto* cache = new (std::nothrow) FieldCache{};
    if (!cache) {
        return nullptr;
    }
    if (PyDict_Watch(st->watcher, dict) < 0) {
        PyErr_Clear();
        delete cache;
        return nullptr;
    }
    // A dict given to two stores (through __dict__) stays with the first: one watcher answers for
    // one cache.
    bool mine = false;
    try {
        mine = watched().emplace(dict, store).second;
    }
    catch (...) {
    }
    if (!mine) {
        delete cache;
        return nullptr;
    }
    cache->dict = dict;
    store->cache = cache;
    store->uncached = false;
    return cache;
}

// Puts `value` in the cache under the interned `name`.
void keep(FieldCache* cache, PyObject* name, PyObject* value) noexcept
{
    CachedField& f = place_for(cache, name);
    if (f.name != name) {
        Py_XSETREF(f.name, Py_NewRef(name));
    }
    f.value = value;
}

// Remembers `value`, just read from the store's `dict` under `name`. Not while the dict is being
// cleared (it counts no items then, yet still finds the values it has not dropped yet, and drops
// them with no event to follow), nor for an empty dict, which that cannot be told from.
void remember(PyObject* self, PyObject* dict, PyObject* name, PyObject* value) noexcept
{
    StoreObject* store = as_store(self);
    if (store->uncached || PyDict_GET_SIZE(dict) == 0 || !PyUnicode_CheckExact(name)
        || !PyUnicode_CHECK_INTERNED(name)) {
        return;
    }
    FieldCache* cache = store->cache;
    if (cache && cache->dict != dict) {
        drop_cache(store);  // not reached while every dict replacement goes through __dict__
        cache = nullptr;
    }
    if (!cache && !(cache = start_cache(self, dict))) {
        return;
    }
    keep(cache, name, value);
}

// A replaced __dict__ is no longer the watched one.
int store_set_dict(PyObject* self, PyObject* value, void* context) noexcept
{
    drop_cache(as_store(self));
    as_store(self)->uncached = false;
    return PyObject_GenericSetDict(self, value, context);
}

int store_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_store(self)->entries);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int store_clear(PyObject* self) noexcept
{
    Py_CLEAR(as_store(self)->entries);
    drop_cache(as_store(self));
    PyObject_ClearManagedDict(self);
    return 0;
}

void store_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    store_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Fields read as None when never stored. The exact class is immutable and its only non-dunder class
// attributes are its methods, which an instance attribute of the same name overrides anyway: for a
// plain name the instance dict answers first, so a field read (the hot path of every caller) is one
// dict lookup, and a missing field costs no AttributeError. Subclasses may add descriptors or
// properties, so they take the generic path.
//
// The read of a plain name on the exact class, which is also the C interface's field read (its
// callers promise both). The interpreter's exit clears the dict watchers, so the cache stays unused
// once the exit has begun.
PyObject* plain_field(PyObject* self, PyObject* name) noexcept
{
    if (FieldCache* cache = as_store(self)->cache) {
        CachedField* f = find_field(cache, name);
        if (f && f->value && !Py_IsFinalizing()) {
            return Py_NewRef(f->value);
        }
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        return nullptr;
    }
    PyObject* value;
    if (PyDict_GetItemRef(dict.get(), name, &value) < 0) {
        return nullptr;
    }
    if (value) {
        if (!Py_IsFinalizing()) {
            remember(self, dict.get(), name, value);
        }
        return value;
    }
    int in_class = PyDict_Contains(Py_TYPE(self)->tp_dict, name);
    if (in_class < 0) {
        return nullptr;
    }
    if (in_class) {
        return PyObject_GenericGetAttr(self, name);
    }
    if (!Py_IsFinalizing()) {
        remember(self, dict.get(), name, Py_None);
    }
    return Py_NewRef(Py_None);
}

PyObject* store_getattro(PyObject* self, PyObject* name) noexcept
{
    if (Py_TYPE(self)->tp_base != &PyBaseObject_Type || !PyUnicode_Check(name) || is_dunder(name)) {
        return getattr_or_none(self, name);
    }
    return plain_field(self, name);
}

// The exact class has no data descriptors under plain names: a field write is a write to the dict.
// Writing the object a field is known to hold already changes nothing, and is left out. A value
// written is remembered when the write's own change was the only one meanwhile (dropping the old
// value may run code that changes the dict again; a write of the value the dict holds is no change,
// and runs no code).
int api_set_field(PyObject* self, PyObject* name, PyObject* value) noexcept
{
    FieldCache* cache = as_store(self)->cache;
    if (cache) {
        CachedField* f = find_field(cache, name);
        if (f && f->value == value && value != Py_None && !Py_IsFinalizing()) {
            return 0;
        }
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        return -1;
    }
    std::uint64_t seen = watched_changes;
    if (PyDict_SetItem(dict.get(), name, value) < 0) {
        return -1;
    }
    if (cache && as_store(self)->cache == cache && cache->dict == dict.get() && watched_changes == seen + 1
        && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name) && !Py_IsFinalizing()) {
        keep(cache, name, value);
    }
    return 0;
}

int store_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept
{
    if (PyTuple_GET_SIZE(args) != 0) {
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
        if (!type_name) {
            return -1;
        }
        PyErr_Format(PyExc_TypeError, "%U() takes no positional arguments", type_name.get());
        return -1;
    }
    if (!kwds) {
        return 0;
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        // A subclass __setattr__ runs Python code: hold the borrowed pair across it.
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        if (PyObject_SetAttr(self, k.get(), v.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

// Shared body of add() and set_kwargs(): both store each keyword as a field.
PyObject* store_fields(PyObject* self, const char* method, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept
{
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", method);
        return nullptr;
    }
    Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyObject_SetAttr(self, PyTuple_GET_ITEM(kwnames, i), args[i]) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* store_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return store_fields(self, "add", args, nargs, kwnames);
}

PyObject* store_set_kwargs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return store_fields(self, "set_kwargs", args, nargs, kwnames);
}

// Puts `entry` under `key`, creating the entries dict on first use. 0, or -1 with an error set.
int store_entry(PyObject* self, PyObject* key, PyObject* entry) noexcept
{
    StoreObject* store = as_store(self);
    if (!store->entries) {
        Ref entries = Ref::steal(PyDict_New());
        if (!entries) {
            return -1;
        }
        // PyDict_New may collect garbage, and a finalizer may have called set() meanwhile.
        if (!store->entries) {
            store->entries = entries.release();
        }
    }
    Ref entries = Ref::borrow(store->entries);
    return PyDict_SetItem(entries.get(), key, entry);
}

int api_set_task(PyObject* self, PyObject* key, PyObject* thread, PyObject* result, PyObject* status) noexcept
{
    State* st = static_cast<State*>(PyType_GetModuleState(Py_TYPE(self)));
    if (!st) {
        return -1;
    }
    Ref entry = new_entry(st, thread, result, status);
    return entry ? store_entry(self, key, entry.get()) : -1;
}

void api_set_entry_field(PyObject* self, BrixelEntryField field, PyObject* value) noexcept
{
    EntryObject* e = as_entry(self);
    PyObject** slot = &e->status;
    if (field == BRIXEL_ENTRY_THREAD) {
        slot = &e->thread;
    } else if (field == BRIXEL_ENTRY_RESULT) {
        slot = &e->result;
    }
    // Tracked before it holds a container; let go of only once the old value is gone (dropping it
    // may run code that writes the entry again).
    bool container = may_be_tracked(value);
    if (container) {
        track(self);
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    if (!container && PyObject_GC_IsTracked(self)) {
        update_tracking(self);
    }
}

int api_has_entry(PyObject* self, PyObject* key) noexcept
{
    return entries_contain(as_store(self)->entries, key);
}

PyObject* store_set(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept
{
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "set() takes exactly one positional argument (%zd given)", nargs);
        return nullptr;
    }
    PyObject* mapping = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* kw = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_EqualToUTF8(kw, "value")) {
            PyErr_Format(PyExc_TypeError, "set() got an unexpected keyword argument '%U'", kw);
            return nullptr;
        }
        mapping = args[nargs + i];
    }
    if (!mapping) {
        PyErr_SetString(PyExc_TypeError, "set() missing required keyword argument 'value'");
        return nullptr;
    }
    State* st = static_cast<State*>(PyType_GetModuleState(defining_class));
    if (!st) {
        return nullptr;
    }
    Ref entry = make_entry(st, mapping);
    if (!entry || store_entry(self, args[0], entry.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* store_get(PyObject* self, PyObject* key) noexcept
{
    PyObject* entries = as_store(self)->entries;
    if (!entries) {
        Py_RETURN_NONE;
    }
    Ref held = Ref::borrow(entries);
    PyObject* entry;
    if (PyDict_GetItemRef(held.get(), key, &entry) < 0) {
        return nullptr;
    }
    return entry ? entry : Py_NewRef(Py_None);
}

PyObject* store_keys(PyObject* self, PyTypeObject* defining_class, PyObject* const*, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept
{
    if (nargs != 0 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "keys() takes no arguments");
        return nullptr;
    }
    State* st = static_cast<State*>(PyType_GetModuleState(defining_class));
    if (!st) {
        return nullptr;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(st->keys_type);
    PyObject* view = type->tp_alloc(type, 0);
    if (!view) {
        return nullptr;
    }
    as_keys(view)->store = Py_NewRef(self);
    return view;
}

PyObject* store_items(PyObject* self, PyObject*) noexcept
{
    PyObject* entries = as_store(self)->entries;
    return entries ? PyDict_Items(entries) : PyList_New(0);
}

PyObject* store_clear_entries(PyObject* self, PyObject*) noexcept
{
    PyObject* entries = as_store(self)->entries;
    if (entries) {
        // Dropping entries can run finalizers that touch this store; keep the dict alive through it.
        Ref held = Ref::borrow(entries);
        PyDict_Clear(held.get());
    }
    Py_RETURN_NONE;
}

PyObject* store_repr(PyObject* self) noexcept
{
    int rc = Py_ReprEnter(self);
    if (rc != 0) {
        return rc > 0 ? PyUnicode_FromString("BrixelVar(...)") : nullptr;
    }
    struct Leave {
        PyObject* self;
        ~Leave() { Py_ReprLeave(self); }
    } leave{self};

    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) {
        return nullptr;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        return nullptr;
    }
    if (repr_dict_items(parts.get(), dict.get()) < 0) {
        return nullptr;
    }
    PyObject* entries = as_store(self)->entries;
    Py_ssize_t count = entries ? PyDict_GET_SIZE(entries) : 0;
    if (count) {
        Ref part = Ref::steal(PyUnicode_FromFormat("<%zd entries>", count));
        if (!part) {
            return nullptr;
        }
        if (PyList_Append(parts.get(), part.get()) < 0) {
            return nullptr;
        }
    }
    return join_repr(self, parts.get());
}

PyMethodDef store_methods[] = {
    {"add", as_method(store_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, /, **kwargs)\n--\n\n"
     "Store each keyword as a field; a field of the same name is replaced.\n\n"
     "Return None. Positional arguments raise TypeError."},
    {"set_kwargs", as_method(store_set_kwargs), METH_FASTCALL | METH_KEYWORDS,
     "set_kwargs($self, /, **kwargs)\n--\n\n"
     "Reassign the field named by each keyword.\n\n"
     "It stores as add() does (a field not stored before is created). Return None. Positional\n"
     "arguments raise TypeError."},
    {"set", as_method(store_set), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "set($self, key, /, *, value)\n--\n\n"
     "Create or replace the entry under key; its attributes are the keys of the mapping value.\n\n"
     "value is a dict, or any mapping with items(), whose keys are strs; the entry's thread, result\n"
     "and status read as None unless value gives them. Return None. Raise TypeError when value is\n"
     "missing, is no mapping or has a key that is not a str."},
    {"get", as_method(store_get), METH_O,
     "get($self, key, /)\n--\n\n"
     "Return the entry stored under key (the same object each time), or None.\n\n"
     "Attributes assigned on the entry are seen by every later get()."},
    {"keys", as_method(store_keys), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "keys($self, /)\n--\n\n"
     "Return a view of the entry keys.\n\n"
     "Membership and len() follow the live entries; iteration runs over a snapshot of the keys\n"
     "present when it starts, so entries may be added meanwhile."},
    {"items", as_method(store_items), METH_NOARGS,
     "items($self, /)\n--\n\n"
     "Return a list of (key, entry) pairs, in the order of keys().\n\n"
     "The list is new at each call."},
    {"clear", as_method(store_clear_entries), METH_NOARGS,
     "clear($self, /)\n--\n\n"
     "Remove every entry.\n\n"
     "The fields stay as they are. Return None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef store_getset[] = {
    {"__dict__", PyObject_GenericGetDict, store_set_dict, "dictionary for instance variables", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_doc, const_cast<char*>("BrixelVar(**fields)\n--\n\n"
                                  "A state store: fields read as attributes, and keyed entries.\n\n"
                                  "Each keyword argument becomes a field; add(), set_kwargs() and plain\n"
                                  "attribute assignment store more. A field never stored reads as None (a\n"
                                  "name with two leading and trailing underscores raises AttributeError, as\n"
                                  "usual). The entries are managed with set/get/keys/items/clear. Positional\n"
                                  "arguments raise TypeError.")},
    {Py_tp_new, as_slot(PyType_GenericNew)},
    {Py_tp_init, as_slot(store_init)},
    {Py_tp_dealloc, as_slot(store_dealloc)},
    {Py_tp_traverse, as_slot(store_traverse)},
    {Py_tp_clear, as_slot(store_clear)},
    {Py_tp_repr, as_slot(store_repr)},
    {Py_tp_getattro, as_slot(store_getattro)},
    {Py_tp_methods, store_methods},
    {Py_tp_getset, store_getset},
    {0, nullptr},
};

PyType_Spec store_spec = {
    "brixel_var.BrixelVar",
    sizeof(StoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT
        | Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_IMMUTABLETYPE,
    store_slots,
};

// ---------------------------------------------------------------------------------------------------
// Module

int add_type(PyObject* module, PyType_Spec* spec, PyObject** slot) noexcept
{
    *slot = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (!*slot) {
        return -1;
    }
    return PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(*slot));
}

int module_exec(PyObject* module) noexcept
{
    State* st = state_of(module);
    if (threads_main::park_threads_ended_at_exit() < 0) {
        return -1;
    }
    if (add_type(module, &store_spec, &st->store_type) < 0) {
        return -1;
    }
    if (add_type(module, &entry_spec, &st->entry_type) < 0) {
        return -1;
    }
    if (add_type(module, &keys_spec, &st->keys_type) < 0) {
        return -1;
    }
    // Stores are read uncached in a subinterpreter, or when the interpreter has no watcher to give.
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        st->watcher = PyDict_AddWatcher(watch_fields);
        st->watching = st->watcher >= 0;
        if (!st->watching) {
            PyErr_Clear();
        }
    }
    st->api.store_type = reinterpret_cast<PyTypeObject*>(st->store_type);
    st->api.get_field = plain_field;
    st->api.set_field = api_set_field;
    st->api.get_entry = store_get;
    st->api.has_entry = api_has_entry;
    st->api.set_task = api_set_task;
    st->api.entry_type = reinterpret_cast<PyTypeObject*>(st->entry_type);
    st->api.set_entry_field = api_set_entry_field;
    Ref capsule = Ref::steal(PyCapsule_New(&st->api, BRIXEL_VAR_API_CAPSULE, nullptr));
    if (!capsule) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "_C_API", capsule.get());
}

int module_traverse(PyObject* module, visitproc visit, void* arg) noexcept
{
    State* st = state_of(module);
    Py_VISIT(st->store_type);
    Py_VISIT(st->entry_type);
    Py_VISIT(st->keys_type);
    return 0;
}

int module_clear(PyObject* module) noexcept
{
    State* st = state_of(module);
    Py_CLEAR(st->store_type);
    Py_CLEAR(st->entry_type);
    Py_CLEAR(st->keys_type);
    return 0;
}

void module_free(void* module) noexcept
{
    module_clear(static_cast<PyObject*>(module));
    State* st = state_of(static_cast<PyObject*>(module));
    if (st->watching && PyDict_ClearWatcher(st->watcher) < 0) {
        PyErr_Clear();
    }
    st->watching = false;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, as_slot(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "brixel_var",
    "The state store of threads_main: class BrixelVar and its entry and keys-view types.",
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyMODINIT_FUNC PyInit_brixel_var()
{
    return PyModuleDef_Init(&module_def);
}
