// A program of a library user, in C++ with the header-only API: opens the reader given on the
// command line, selects the card in its field and reads block 4 with the factory key.
#include <iostream>
#include <tq_RWD_DLL.hpp>

int main(int argc, char** argv) {
    if (argc != 2) return std::cerr << "usage: " << argv[0] << " DEVICE\n", 2;
    auto reader = tqrf::Reader::open(argv[1]);
    if (!reader) return std::cerr << "open: " << reader.error().message() << '\n', 1;
    auto card = reader->select_card();
    if (!card) return std::cerr << "select: " << card.error().message() << '\n', 1;
    if (auto r = reader->login(1, tqrf::KeyType::A, tqrf::kDefaultKey); !r) {
        return std::cerr << "login: " << r.error().message() << '\n', 1;
    }
    auto block = reader->read(4);
    if (!block) return std::cerr << "read: " << block.error().message() << '\n', 1;
    std::cout << "C++: library " << tqrf_version() << ", block 4 " << block->hex() << '\n';
}
