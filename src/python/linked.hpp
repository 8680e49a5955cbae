// Which of the language and engine entry points this build of the module links against.
#pragma once

// The evaluator (eval::run_backtest) is declared before it is implemented, so no header tells
// whether it links; set once it is in the tree.
#ifndef ZORV_PY_HAVE_ENGINE
#define ZORV_PY_HAVE_ENGINE 0
#endif
