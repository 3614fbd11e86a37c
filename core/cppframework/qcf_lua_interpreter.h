// A small evaluator of Lua expressions and statements with the platform's Lua modules
// preloaded, over one Lua state held for the interpreter's whole life. One thread at a time
// (the main loop's).
#pragma once

#include <string>

struct lua_State;

namespace QCF {

class CLuaInterpreter {
public:
    CLuaInterpreter();
    ~CLuaInterpreter();

    // Runs the global function named `statement`; when there is none yet, runs the text as a
    // chunk instead (so a function definition given once can later be called by its name).
    // 0 on success (also when there is no Lua state), -1 on failure.
    int evaluate(const std::string& statement);

    // Evaluates `expr` and stores its value. 0 on success; -1 on failure, `out` untouched.
    int evaluate(const std::string& expr, bool& out);
    int evaluate(const std::string& expr, double& out);
    // Negative, fractional-overflowing or out-of-range numbers are refused, not wrapped.
    int evaluate(const std::string& expr, unsigned& out);
    // Numbers are accepted and given in Lua's own text form.
    int evaluate(const std::string& expr, std::string& out);

    CLuaInterpreter(const CLuaInterpreter&) = delete;
    CLuaInterpreter& operator=(const CLuaInterpreter&) = delete;

private:
    static std::string toLuaStatement(const std::string& expr);
    enum EStackResult { ESR_RESULT, ESR_NO_STATE, ESR_LOAD_FAILED, ESR_RUN_FAILED };
    // Loads and runs "return(expr)"; with ESR_RESULT its one result is on the stack. Run
    // errors are logged here, load errors by the caller (each type has its own message).
    EStackResult evaluateToStack(const std::string& expr);
    // One typed evaluation: `take` reads the result on the stack into the output and says
    // whether its type fitted. `populating` starts the load error line, `kind` names the type
    // in the line for a result that did not fit.
    template <typename Take>
    int evaluateTyped(const std::string& expr, const char* populating, const char* kind, Take take);

    lua_State* m_lua;
};

} // namespace QCF
