/* The stand-in shader.h must compile as C as well: its static layout checks
 * then run under the C compiler too. */
#include <shader.h>

miBoolean glintweaveShaderHeaderCheck(miState* state) {
  return state->type == miRAY_SHADOW || state->shader->ghost_offs != 0;
}
