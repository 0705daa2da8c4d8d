// Select exactly one transform while retaining original per-transform probabilities.
//
// OneOfRetainProb is Albumentations' OneOf with one difference: members whose
// probabilities add up to less than one are not inflated to certainty.  The
// shortfall is moved into the composition's own probability, so member i runs
// with probability p * p_i.  The draw itself is OneOf's, step for step, so a
// seeded `random` module reproduces a run of either class.

#include "frame/operators.hpp"
#include "host/transform.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

using namespace halvex;
using namespace halvex::frame;
using namespace halvex::frame::python;

host::TransformClass one_of_retain_prob{"OneOfRetainProb"};

const Name keys_name{"keys"}, random_name{"random"}, sum_name{"sum"}, force_apply_name{"force_apply"}, p_name{"p"};
// The probability the constructor was given (see init).
const Name requested_p{"OneOfRetainProb", "requested_p"};

// The keywords of `member(**data)`: a fresh dict, so that the member may keep
// or change what it is given without touching our caller's dictionary.
Ref keywords_from(Borrowed data) {
    if (PyDict_Check(data.get())) return Ref::steal(PyDict_Copy(data));
    if (!PyObject_HasAttr(data, keys_name))
        raise(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", data.type()->tp_name);
    Ref keywords = Ref::steal(PyDict_New());
    check(PyDict_Merge(keywords, data, 1));
    return keywords;
}

Ref list_of(Borrowed iterable, Ref (*each)(Borrowed)) {
    Ref result = Ref::steal(PyList_New(0));
    for_each(iterable, [&](Borrowed item) { check(PyList_Append(result, each(item))); });
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
    static const Name array_protocol[] = {Name{"__array__"}, Name{"__array_interface__"}, Name{"__array_struct__"}};
    for (const Name& name : array_protocol) {
        PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name);
        if (found != nullptr) {
            Py_DECREF(found);
            return false;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw python_error();
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
    static const Name np{"np"};
    Ref random_state = global(np).attr("random").attr("RandomState")(seed);
    return random_state.attr("choice")(members, kw("p", ps));
}

// ---------------------------------------------------------------------------

Ref init(Borrowed self, Borrowed transforms, Borrowed p) {
    one_of_retain_prob.base_attribute(self, host::names::init)(transforms, p);
    // The members' own probabilities ...
    Ref transforms_ps = list_of(self.attr("transforms"), [](Borrowed t) { return t.attr("p"); });
    const double probability_sum = global(sum_name)(transforms_ps).to_double();
    Ref sum = to_python(probability_sum);
    // ... lower the composition's when they add up to less than one ...
    if (probability_sum < 1) self.set_attr("p", multiply(self.attr("p"), sum));
    // ... and are normalised for the draw among them.
    Ref normalised = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(transforms_ps.get()); ++i)
        check(PyList_Append(normalised, divide(PyList_GET_ITEM(transforms_ps.get(), i), sum)));
    self.set_attr("transforms_ps", normalised);
    // Serialisation must hand the constructor the probability it was given,
    // not the lowered one, or every to_dict / from_dict round trip would
    // lower it once more.
    check(PyObject_SetAttr(self, requested_p, p));
    return Ref::none();
}

// `*args` are accepted and ignored, as by OneOf.
Ref call_compose(Borrowed self, Borrowed /*args*/, Borrowed force_apply, Borrowed data_keywords) {
    Ref data = Ref::borrow(data_keywords);
    // In replay mode every member runs, each on the previous one's result.
    if (self.attr("replay_mode").truth()) {
        for_each(self.attr("transforms"),
                 [&](Borrowed t) { data = call_with(t, Ref::steal(PyTuple_New(0)), keywords_from(data)); });
        return expect_type(data, &PyDict_Type);
    }
    // Otherwise, with the composition's probability, one member drawn by its
    // normalised probability runs, forced.
    if (self.attr("transforms_ps").truth() &&
        (force_apply.truth() || less(global(random_name).attr("random")(), self.attr("p")))) {
        Ref seed = global(random_name).attr("randint")(0, 4294967295LL);
        Ref t = choose_member(self, seed);
        Ref keywords = Ref::steal(PyDict_New());
        check(PyDict_SetItem(keywords, force_apply_name, Py_True));
        Ref given = keywords_from(data);
        if (check(PyDict_Contains(given, force_apply_name)))
            raise(PyExc_TypeError, "%.200s() got multiple values for keyword argument 'force_apply'",
                  t.type()->tp_name);
        check(PyDict_Update(keywords, given));
        data = call_with(t, Ref::steal(PyTuple_New(0)), keywords);
    }
    return expect_type(data, &PyDict_Type);
}

Ref to_dict(Borrowed self) {
    static const Name to_dict_name{"_to_dict"};
    Ref dictionary = one_of_retain_prob.base_attribute(self, to_dict_name)();
    Ref requested = Ref::steal_or_null(PyObject_GetAttr(self, requested_p));
    if (!requested) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw python_error();
        PyErr_Clear();  // made without our initialiser: nothing better to report than p
        return dictionary;
    }
    if (PyDict_Check(dictionary.get())) check(PyDict_SetItem(dictionary, p_name, requested));
    return dictionary;
}

const Callable one_of_retain_prob_methods[] = {
    {"OneOfRetainProb.__init__(self, list transforms: list[Any], double p: float = 0.5) -> None",
     "Initialize the compose with probability retention.", bound<init>},
    {"OneOfRetainProb.__call__(self, *args: Any, bool force_apply: bool = False, **data: Any) -> dict[str, Any]",
     "Apply exactly one transform, or replay all transforms in replay mode.", bound<call_compose>},
    {"OneOfRetainProb._to_dict(self) -> dict[str, Any]", "Serialise with the probability given to the constructor.",
     bound<to_dict>},
    {"OneOfRetainProb.get_class_fullname(cls) -> str", "Return the class name as fullname.",
     bound<host::get_class_fullname>, Binding::class_method},
};

void body(ModuleBuilder& module) {
    module.import_module("random", "random");
    module.import_from("typing", {"Any", "cast"});
    module.import_module("numpy", "np");
    module.import_from("albumentations", {"BaseCompose"});
    one_of_retain_prob.define(module, {"BaseCompose"},
                              "Select exactly one transform while retaining original per-transform probabilities.",
                              one_of_retain_prob_methods);
}

}  // namespace

PyMODINIT_FUNC PyInit_orvetta() {
    return halvex::frame::module_init(
        {"orvetta", "halvex.preprocessing.augmentations.transform.orvetta",
         "Select exactly one transform while retaining original per-transform probabilities.", HALVEX_MODULE_SOURCE,
         body});
}
