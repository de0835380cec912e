// Bundle services of the Linux stand-in (declared by the accessibility/bundle part of the layer).
#pragma once
