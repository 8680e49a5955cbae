// Which of the language and engine entry points this build of the module links against.
#pragma once

// The JSON reader (quaro::json::parse) and the evaluator (eval::run_backtest with
// report::to_json) give no header of their own to test for; set once they are in the tree.
#ifndef ZORV_PY_HAVE_JSON_READER
#define ZORV_PY_HAVE_JSON_READER 0
#endif
#ifndef ZORV_PY_HAVE_ENGINE
#define ZORV_PY_HAVE_ENGINE 0
#endif
