// The text every certificate selection returns to the page: the chosen certificate's subject.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "agent/AgentFrame.h"

// Reads the subject (X.500 form, reversed, unquoted) and makes it the operation's result text;
// a failure is traced as the query's step.
HRESULT SetSubjectText(CAgentFrame& frame, PCCERT_CONTEXT pCert);
