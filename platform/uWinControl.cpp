#include "platform/uWinControl.h"

#include <utility>

TWinControl::TWinControl(TComponent* AOwner, std::shared_ptr<TDispatcher> dispatcher)
    : TComponent(AOwner), dispatcher_(std::move(dispatcher))
{
}
