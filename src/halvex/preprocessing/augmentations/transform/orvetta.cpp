// Select exactly one transform while retaining original per-transform probabilities.
//
// OneOfRetainProb is Albumentations' OneOf with one difference: members whose
// probabilities add up to less than one are not inflated to certainty.  The
// shortfall is moved into the composition's own probability, so member i runs
// with probability p * p_i.  The draw itself is OneOf's, step for step, so a
// seeded `random` module reproduces a run of either class.

#include "frame/module.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

using namespace halvex;
using frame::Borrowed;
using frame::Call;
using frame::global;
using frame::kw;
using frame::Ref;

// The class object, for super(Class, self).
frame::Retained one_of_retain_prob_class;

// The composition returns the pipeline's data dictionary, or None.
Ref expect_dict(Ref data) {
    if (!data.is_none() && !PyDict_CheckExact(data.get()))
        frame::raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", data.type()->tp_name);
    return data;
}

// The keywords of `member(**data)`: a fresh dict, so that the member may keep
// or change what it is given without touching our caller's dictionary.
Ref keywords_from(Borrowed data) {
    if (PyDict_Check(data.get())) return Ref::steal(PyDict_Copy(data));
    if (!PyObject_HasAttr(data, frame::interned("keys")))
        frame::raise(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", data.type()->tp_name);
    Ref keywords = Ref::steal(PyDict_New());
    frame::check(PyDict_Merge(keywords, data, 1));
    return keywords;
}

Ref list_of(Borrowed iterable, Ref (*each)(Borrowed)) {
    Ref result = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal_or_null(PyIter_Next(iterator))) frame::check(PyList_Append(result, each(item)));
    if (PyErr_Occurred()) throw frame::python_error();
    return result;
}

// ---- the member draw ---------------------------------------------------------
//
// np.random.RandomState(seed).choice(members, p=ps) spends almost all its time
// seeding a generator from the operating system before the legacy seeding
// replaces that state.  The draw itself is small: Mersenne Twister seeded with
// init_genrand, one 53-bit double, a search in the normalised cumulative sum.
// It is done here when the inputs are plain (float probabilities, members
// that numpy would keep as single objects); anything else goes to numpy.

class MersenneTwister {
public:
    explicit MersenneTwister(std::uint32_t seed) {
        for (std::size_t i = 0; i < state_.size(); ++i) {
            state_[i] = seed;
            seed = 1812433253U * (seed ^ (seed >> 30)) + static_cast<std::uint32_t>(i + 1);
        }
    }

    std::uint32_t next() {
        if (position_ == state_.size()) twist();
        std::uint32_t y = state_[position_++];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9d2c5680U;
        y ^= (y << 15) & 0xefc60000U;
        y ^= y >> 18;
        return y;
    }

    // random_sample(): 53 random bits in [0, 1).
    double next_double() {
        const std::int32_t a = static_cast<std::int32_t>(next() >> 5), b = static_cast<std::int32_t>(next() >> 6);
        return (a * 67108864.0 + b) / 9007199254740992.0;
    }

private:
    void twist() {
        constexpr std::size_t n = 624, m = 397;
        constexpr std::uint32_t upper = 0x80000000U, lower = 0x7fffffffU, matrix = 0x9908b0dfU;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t y = (state_[i] & upper) | (state_[(i + 1) % n] & lower);
            state_[i] = state_[(i + m) % n] ^ (y >> 1) ^ ((y & 1U) ? matrix : 0U);
        }
        position_ = 0;
    }

    std::array<std::uint32_t, 624> state_{};
    std::size_t position_ = 624;
};

// numpy keeps an object as one element of np.array(list) unless it looks
// like a number, a sequence with a length, a buffer or an array.
bool kept_as_one_object(PyObject* member) {
    PyTypeObject* type = Py_TYPE(member);
    if (PyNumber_Check(member) || PyObject_CheckBuffer(member)) return false;
    if ((type->tp_as_sequence && type->tp_as_sequence->sq_length) ||
        (type->tp_as_mapping && type->tp_as_mapping->mp_length))
        return false;
    for (const char* name : {"__array__", "__array_interface__", "__array_struct__"}) {
        PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), frame::interned(name));
        if (found != nullptr) {
            Py_DECREF(found);
            return false;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw frame::python_error();
        PyErr_Clear();
    }
    return true;
}

// The member RandomState(seed).choice(members, p=ps) returns, or nothing when
// the inputs are not plain enough to be sure (numpy then decides, and raises).
std::optional<Ref> native_choice(Borrowed seed, Borrowed members, Borrowed ps) {
    if (!PyLong_CheckExact(seed.get()) || !PyList_CheckExact(members.get()) || !PyList_CheckExact(ps.get()))
        return std::nullopt;
    int overflow = 0;
    const long long seed_value = PyLong_AsLongLongAndOverflow(seed, &overflow);
    if (overflow != 0 || seed_value < 0 || seed_value > 4294967295LL) return std::nullopt;
    const Py_ssize_t count = PyList_GET_SIZE(members.get());
    if (count == 0 || PyList_GET_SIZE(ps.get()) != count) return std::nullopt;
    std::vector<double> weights(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* weight = PyList_GET_ITEM(ps.get(), i);
        if (!PyFloat_CheckExact(weight) || !kept_as_one_object(PyList_GET_ITEM(members.get(), i))) return std::nullopt;
        weights[static_cast<std::size_t>(i)] = PyFloat_AS_DOUBLE(weight);
    }
    // numpy's checks: Kahan-summed to 1 within sqrt(eps), no NaN, none negative.
    double sum = weights[0], compensation = 0.0;
    for (std::size_t i = 1; i < weights.size(); ++i) {
        const double y = weights[i] - compensation, t = sum + y;
        compensation = (t - sum) - y;
        sum = t;
    }
    if (std::isnan(sum) || std::fabs(sum - 1.0) > 1.4901161193847656e-08) return std::nullopt;
    for (double weight : weights)
        if (weight < 0) return std::nullopt;
    // cdf = p.cumsum(); cdf /= cdf[-1]; cdf.searchsorted(u, side="right")
    std::vector<double> cdf(weights.size());
    double running = 0.0;
    for (std::size_t i = 0; i < weights.size(); ++i) cdf[i] = running = (i == 0 ? weights[0] : running + weights[i]);
    const double last = cdf.back();
    for (double& value : cdf) value /= last;
    const double u = MersenneTwister(static_cast<std::uint32_t>(seed_value)).next_double();
    std::size_t index = 0;
    while (index < cdf.size() && cdf[index] <= u) ++index;
    if (index >= cdf.size()) return std::nullopt;
    return Ref::borrow(PyList_GET_ITEM(members.get(), static_cast<Py_ssize_t>(index)));
}

Ref choose_member(Borrowed self, Borrowed seed) {
    Ref members = self.attr("transforms").attr("transforms");
    Ref ps = self.attr("transforms_ps");
    if (std::optional<Ref> chosen = native_choice(seed, members, ps)) return *chosen;
    Ref random_state = global("np").attr("random").attr("RandomState")(seed);
    return random_state.attr("choice")(members, kw("p", ps));
}

// ---------------------------------------------------------------------------

Ref init(Call& call) {
    Borrowed self = call[0], transforms = call[1], p = call[2];
    // 1.
    global("super")(one_of_retain_prob_class, self).attr("__init__")(transforms, p);
    // 2.
    Ref transforms_ps = list_of(self.attr("transforms"), [](Borrowed t) { return t.attr("p"); });
    // 3.
    const double s = global("sum")(transforms_ps).to_double();
    Ref sum = frame::to_python(s);
    // 4.
    if (s < 1) self.set_attr("p", Ref::steal(PyNumber_Multiply(self.attr("p"), sum)));
    // 5.
    Ref normalised = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(transforms_ps.get()); ++i)
        frame::check(PyList_Append(
            normalised, Ref::steal(PyNumber_TrueDivide(PyList_GET_ITEM(transforms_ps.get(), i), sum))));
    self.set_attr("transforms_ps", normalised);
    // Serialisation must hand the constructor the probability it was given,
    // not the lowered one, or every to_dict / from_dict round trip would
    // lower it once more.
    self.set_attr("_OneOfRetainProb__requested_p", p);
    return Ref::none();
}

Ref call_(Call& call) {
    Borrowed self = call[0];
    const bool force_apply = call[2].truth();
    Ref data = Ref::borrow(call[3]);
    // 1.
    if (self.attr("replay_mode").truth()) {
        Ref iterator = Ref::steal(PyObject_GetIter(self.attr("transforms")));
        while (Ref t = Ref::steal_or_null(PyIter_Next(iterator)))
            data = frame::call_with(t, Ref::steal(PyTuple_New(0)), keywords_from(data));
        if (PyErr_Occurred()) throw frame::python_error();
        return expect_dict(data);
    }
    // 2.
    if (self.attr("transforms_ps").truth() &&
        (force_apply ||
         frame::check(PyObject_RichCompareBool(global("random").attr("random")(), self.attr("p"), Py_LT)))) {
        Ref seed = global("random").attr("randint")(0, 4294967295LL);
        Ref t = choose_member(self, seed);
        Ref keywords = Ref::steal(PyDict_New());
        frame::check(PyDict_SetItem(keywords, frame::interned("force_apply"), Py_True));
        Ref given = keywords_from(data);
        if (frame::check(PyDict_Contains(given, frame::interned("force_apply"))))
            frame::raise(PyExc_TypeError, "%.200s() got multiple values for keyword argument 'force_apply'",
                         t.type()->tp_name);
        frame::check(PyDict_Update(keywords, given));
        data = frame::call_with(t, Ref::steal(PyTuple_New(0)), keywords);
    }
    // 3.
    return expect_dict(data);
}

Ref to_dict(Call& call) {
    Borrowed self = call[0];
    Ref dictionary = global("super")(one_of_retain_prob_class, self).attr("_to_dict")();
    Ref requested = Ref::steal_or_null(PyObject_GetAttr(self, frame::interned("_OneOfRetainProb__requested_p")));
    if (!requested) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw frame::python_error();
        PyErr_Clear();  // made without our initialiser: nothing better to report than p
        return dictionary;
    }
    if (PyDict_Check(dictionary.get())) frame::check(PyDict_SetItem(dictionary, frame::interned("p"), requested));
    return dictionary;
}

Ref get_class_fullname(Call& call) { return call[0].attr("__name__"); }

const frame::Callable one_of_retain_prob_methods[] = {
    {"OneOfRetainProb.__init__(self, list transforms: list[Any], double p: float = 0.5) -> None",
     "Initialize the compose with probability retention.", init},
    {"OneOfRetainProb.__call__(self, *args: Any, bool force_apply: bool = False, **data: Any) -> dict[str, Any]",
     "Apply exactly one transform, or replay all transforms in replay mode.", call_},
    {"OneOfRetainProb._to_dict(self) -> dict[str, Any]",
     "Serialise with the probability given to the constructor.", to_dict},
    {"OneOfRetainProb.get_class_fullname(cls) -> str", "Return the class name as fullname.", get_class_fullname,
     frame::Binding::class_method},
};

void body(frame::ModuleBuilder& module) {
    module.import_module("random", "random");
    module.import_from("typing", {"Any", "cast"});
    module.import_module("numpy", "np");
    module.import_from("albumentations", {"BaseCompose"});
    one_of_retain_prob_class =
        module.define_class("OneOfRetainProb", {"BaseCompose"},
                            "Select exactly one transform while retaining original per-transform probabilities.",
                            one_of_retain_prob_methods);
}

const frame::ModuleDefinition definition = {
    "orvetta",
    "halvex.preprocessing.augmentations.transform.orvetta",
    "Select exactly one transform while retaining original per-transform probabilities.",
    HALVEX_MODULE_SOURCE,
    body,
};

}  // namespace

PyMODINIT_FUNC PyInit_orvetta() { return frame::module_init(definition); }
