#include "runtime/init.h"

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/email.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/integer.h"
#include "datatypes/issue.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/none.h"
#include "datatypes/series.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/ownership.h"
#include "datatypes/pair.h"
#include "datatypes/path.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/port.h"
#include "datatypes/ref.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tag.h"
#include "datatypes/time.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/unset.h"
#include "datatypes/url.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "loading/lexer.h"
#include "evaluator/parse.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/externals.h"
#include "runtime/slots.h"
#include "runtime/memory.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "services/http.h"
#include "services/random.h"
#include "runtime/root.h"
#include "runtime/stack.h"

namespace runtime {

// Every module once, in a fixed order: the registrations follow the parent-before-child order of
// the datatype registry, and nothing allocates a series before the memory manager is up.
void init() {
    output::init();
    platform::init_io();
    random_::init();  // also the hash seed
    memory::init();
    externals::init();
    cycles::init();

    datatype::init_tables();
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    series::init();
    block::init();
    string::init();  // before the types that take string!'s slots
    binary::init();
    integer::init();
    symbol::init();
    context::init();
    word::init();
    char_::init();
    paren::init();
    issue::init();
    native::init();
    path::init();  // after block!, whose slots it takes
    function::init();
    routine::init();
    url::init();
    file::init();
    object::init();
    bitset::init();
    triple::init();
    float_::init();
    typeset::init();
    error::init();
    vector::init();  // after string!, whose slots it takes
    map::init();
    hash::init();  // after block!, whose slots it takes
    pair::init();
    percent::init();
    tuple::init();
    time_::init();
    tag::init();
    email::init();
    handle::init();  // after integer!, its parent
    date::init();
    port::init();
    money::init();
    ref::init();
    point2D::init();
    point3D::init();
    image::init();
    simple_io::init_http();  // the HTTP service behind url! reads and writes

    actions::init();

    root::init();
    stack::alloc();

    symbol::init_table();
    context::init_global();

    datatype::init_words();
    ownership::init();
    error::init_catalog();

    natives::init();

    lexer::init();

    stack::init();
    interpreter::init();
    parse::init();
    slots::init();
    collector::init();
    // Collection stays off until start-up has loaded the boot data and switches it on.
}

}  // namespace runtime
