#pragma once
// Malformed and mutated action scripts, reproducible from a seed, run through the post-installation stage
// entry point of the product DLL in a real installer session: broken XML, huge attributes, deep nesting,
// unknown types, wrong field counts, embedded NULs, brackets and entities, a planted "-password=" value in
// every attribute. A run passes when every call returns 0 or 1603, a failure comes with an error message that
// names where it happened, a script that must be rejected runs none of its actions (and none runs unseen),
// every well-formed one runs all of its own, one whose last critical action fails leaves nothing of the others
// after its rollback, and no planted password reaches any message unmasked. A run that
// stops for a minute or crashes ends the process with the seed on standard error. The suite runs short counts;
// tarvo_hostile_scripts runs long ones.
#include <cstdint>
#include <map>
#include <string>

namespace hostilescripts {

struct Report {
    std::string failure;                       // empty when the run passed, else what went wrong, seed and iteration
    std::map<std::string, unsigned> outcomes;  // how often each kind of script ended how ("unknown type: 1603")
};

Report run(std::uint32_t seed, std::uint32_t count);

}  // namespace hostilescripts
