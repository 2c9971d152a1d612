// The broker's base: environment, exceptions, locks, threads, texts.
#pragma once

#include "corba_env.h"
#include "corba_except.h"
#include "corba_string.h"
#include "tkq_support.h"
#include "wq_lock.h"
#include "wq_minor.h"
#include "wq_mthread.h"
#include "wq_stub.h"
#include "wq_text.h"
#include "wq_thread.h"
