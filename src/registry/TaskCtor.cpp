#include "TaskCtor.h"

TaskCtor::~TaskCtor() = default;
