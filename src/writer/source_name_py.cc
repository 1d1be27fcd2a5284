#include "module/errors.h"
#include "writer/python_inputs.h"
#include "writer/python_values.h"
#include "writer/source_name.h"

namespace brivane {

Result<std::string> read_source_name(PyObject* source) {
  BRV_ASSIGN_OR_RETURN(PyRef name_object, get_attribute(source, "name"));
  BRV_ASSIGN_OR_RETURN(std::string name, to_utf8(name_object.get()));
  BRV_TRY(check_source_name(name));
  return name;
}

}  // namespace brivane
