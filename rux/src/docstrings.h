// The docstrings of rux.fl as Python shows them: the module, open(), the
// class RUXFile and its methods (the series and frame reads keep theirs in
// series.cpp). Tests pin them, so they change only with the stubs and docs.
#ifndef RUX_FL_DOCSTRINGS_H
#define RUX_FL_DOCSTRINGS_H

namespace rux_fl {

// ---- The module ----

inline constexpr char module_doc[] =
    "Low-level access to create, read and write RUX files.\n"
    "\n"
    "A RUX file holds a sequence of frames; each frame holds named chunks,\n"
    "each an N x M array of one numeric type (or text). open() returns a\n"
    "RUXFile, which writes numpy arrays into the frame in progress, ends\n"
    "frames and reads any chunk of a completed frame back as a numpy array.\n";

inline constexpr char open_doc[] =
    "open(name, mode, application=None, schema=None, schema_version=None)\n"
    "\n"
    "Open a RUX file and return a RUXFile, which can be used as a context manager.\n"
    "\n"
    "Args:\n"
    "    name (str or path-like): File name.\n"
    "    mode (str): Access mode (see below).\n"
    "    application (str): Name of the application writing the file; required\n"
    "        when the file is created.\n"
    "    schema (str): Name of the data schema; required when the file is\n"
    "        created. When given, it is checked against the file's schema.\n"
    "    schema_version (tuple[int, int]): (major, minor) version of the\n"
    "        schema; required when the file is created.\n"
    "\n"
    "Modes:\n"
    "    ====  ===========================================================\n"
    "    mode  description\n"
    "    ====  ===========================================================\n"
    "    'r'   Open an existing file for reading.\n"
    "    'r+'  Open an existing file for reading and writing.\n"
    "    'w'   Create a new file for reading and writing, overwriting any\n"
    "          existing file.\n"
    "    'x'   Create a new file for reading and writing; fail if the file\n"
    "          exists.\n"
    "    'a'   Open an existing file for reading and writing, or create a\n"
    "          new one when the file does not exist.\n"
    "    ====  ===========================================================\n"
    "\n"
    "Example:\n"
    "    with rux.fl.open('trajectory.rux', 'w', application='sim',\n"
    "                     schema='md', schema_version=(1, 0)) as f:\n"
    "        f.write_chunk('particles/position', positions)\n"
    "        f.end_frame()\n";

// ---- RUXFile ----

inline constexpr char file_doc[] =
    "RUXFile\n"
    "\n"
    "RUX file access interface.\n"
    "\n"
    "Use open() to create a RUXFile. A RUXFile owns one open file until it is\n"
    "closed, by close(), at the end of a with block, or when the object is\n"
    "deleted.\n"
    "\n"
    "Args:\n"
    "    name (str): File name.\n"
    "    mode (str): Access mode: 'r', 'r+', 'w', 'x' or 'a' (see open()).\n"
    "    application (str): Name of the application writing the file.\n"
    "    schema (str): Name of the data schema.\n"
    "    schema_version (tuple[int, int]): (major, minor) schema version.\n"
    "\n"
    "Attributes:\n"
    "    name (str): File name.\n"
    "    mode (str): Access mode.\n"
    "    rux_version (tuple[int, int]): Version of the file layout.\n"
    "    schema_version (tuple[int, int]): Version of the data schema.\n"
    "    schema (str): Name of the data schema.\n"
    "    application (str): Name of the application that wrote the file.\n"
    "    nframes (int): Number of completed frames.\n"
    "    maximum_write_buffer_size (int): Chunks of at least this many bytes\n"
    "        are written at once; smaller ones are buffered up to this size.\n"
    "    index_entries_to_buffer (int): Buffered index entries beyond which\n"
    "        end_frame() flushes.\n";

inline constexpr char close_doc[] =
    "close()\n"
    "\n"
    "Close the file.\n"
    "\n"
    "Buffered data of completed frames are written to the file first. Chunks\n"
    "written since the last end_frame() are not recorded. Closing a file that\n"
    "is not open does nothing.\n";

inline constexpr char truncate_doc[] =
    "truncate()\n"
    "\n"
    "Truncate all data from the file.\n"
    "\n"
    "The application, schema and schema version remain. All frames and chunk\n"
    "names are removed, and the buffer settings return to their defaults.\n";

inline constexpr char truncate_frames_doc[] =
    "truncate_frames(n)\n"
    "\n"
    "Keep the first n frames and drop the later ones.\n"
    "\n"
    "The next frame written is frame n. Chunks written since the last\n"
    "end_frame() are dropped too; n equal to nframes drops only those. After\n"
    "a crash the file holds either every frame or the first n. No byte but\n"
    "the header is overwritten: readers that have the file open keep reading\n"
    "what they saw, and the dropped frames stay behind as unreferenced bytes.\n"
    "Chunk names stay in the file, also those only dropped frames used.\n"
    "\n"
    "Args:\n"
    "    n (int): Number of frames to keep, from 0 to nframes.\n"
    "\n"
    "Raises:\n"
    "    ValueError: n is negative or greater than nframes.\n";

inline constexpr char end_frame_doc[] =
    "end_frame()\n"
    "\n"
    "Complete writing the current frame.\n"
    "\n"
    "Chunks of a frame can be found and read once the frame is complete.\n";

inline constexpr char flush_doc[] =
    "flush()\n"
    "\n"
    "Flush all buffered frames to the file.\n";

inline constexpr char upgrade_doc[] =
    "upgrade()\n"
    "\n"
    "Upgrade a RUX file to the v2 specification in place.\n"
    "\n"
    "The file must be open in a writable mode.\n";

inline constexpr char refresh_doc[] =
    "refresh()\n"
    "\n"
    "Take a new view of a file that a writer is appending to.\n"
    "\n"
    "On a read-only file, picks up the frames and names flushed since the\n"
    "open or the last refresh, whole frames only, and returns nframes.\n"
    "nframes and lookups stay fixed between refreshes. On a writable file\n"
    "it changes nothing.\n";

inline constexpr char refresh_keeping_doc[] =
    "refresh_keeping()\n"
    "\n"
    "refresh(), and how many frames of the earlier view are unchanged.\n"
    "\n"
    "Returns (nframes, kept): kept is the number of leading frames of the\n"
    "view before the call that the new view holds unchanged. It is every\n"
    "earlier frame unless a writer cut the file since (truncate_frames(),\n"
    "truncate()); whatever was derived from later frames is stale.\n";

inline constexpr char enter_doc[] =
    "__enter__()\n"
    "\n"
    "Return the file itself for use in a with block.\n";

inline constexpr char exit_doc[] =
    "__exit__(exc_type, exc_value, traceback)\n"
    "\n"
    "Close the file at the end of a with block.\n";

inline constexpr char reduce_doc[] = "Allows filehandles to be pickled when in read only mode.";

// ---- The chunk methods ----

inline constexpr char write_chunk_doc[] =
    "write_chunk(name, data)\n"
    "\n"
    "Write a data chunk to the file.\n"
    "\n"
    "The chunk belongs to the frame in progress and can be read once that\n"
    "frame has been completed with end_frame().\n"
    "\n"
    "Args:\n"
    "    name (str): Name of the chunk.\n"
    "    data (numpy.ndarray or str): A one or two dimensional array of type\n"
    "        uint8, uint16, uint32, uint64, int8, int16, int32, int64, float32\n"
    "        or float64; a one dimensional array is written as one column.\n"
    "        An ASCII str is written as a character chunk.\n"
    "\n"
    "Warning:\n"
    "    Data that is not already a C-contiguous numpy array is converted with\n"
    "    numpy.ascontiguousarray, which copies it; each such copy is logged as\n"
    "    a warning.\n"
    "\n"
    "Example:\n"
    "    positions = numpy.zeros((100, 3), dtype=numpy.float32)\n"
    "    f.write_chunk('particles/position', positions)\n"
    "    f.end_frame()\n";

inline constexpr char write_strings_doc[] =
    "write_strings(name, data)\n"
    "\n"
    "Write an array of fixed-width byte strings as a character chunk.\n"
    "\n"
    "Each string is one column of the chunk: N is the width of the dtype and\n"
    "M the number of strings. read_chunk gives the chunk back as an int8\n"
    "array of shape (M, N) (a str when M is 1), whose rows view as the dtype:\n"
    "read_chunk(frame, name).view('S%d' % N)[:, 0].\n"
    "\n"
    "Args:\n"
    "    name (str): Name of the chunk.\n"
    "    data (numpy.ndarray): A C-contiguous one dimensional array of dtype S.\n"
    "\n"
    "Example:\n"
    "    f.write_strings('atoms/names', numpy.array([b'CA', b'N'], dtype='S2'))\n"
    "    f.end_frame()\n";

inline constexpr char chunk_exists_doc[] =
    "chunk_exists(frame, name)\n"
    "\n"
    "Test if a chunk exists.\n"
    "\n"
    "Args:\n"
    "    frame (int): Index of a completed frame.\n"
    "    name (str): Name of the chunk.\n"
    "\n"
    "Returns:\n"
    "    bool: True when the frame holds a chunk of that name.\n";

inline constexpr char read_chunk_doc[] =
    "read_chunk(frame, name)\n"
    "\n"
    "Read a data chunk from the file and return it as a numpy array.\n"
    "\n"
    "Args:\n"
    "    frame (int): Index of a completed frame.\n"
    "    name (str): Name of the chunk.\n"
    "\n"
    "Returns:\n"
    "    numpy.ndarray or str: A new array of shape (N, M), or (N,) for a\n"
    "    chunk of one column. A character chunk of one column is returned as\n"
    "    a str.\n"
    "\n"
    "Raises:\n"
    "    KeyError: The frame holds no chunk of that name.\n"
    "\n"
    "Example:\n"
    "    positions = f.read_chunk(0, 'particles/position')\n";

inline constexpr char find_matching_chunk_names_doc[] =
    "find_matching_chunk_names(match)\n"
    "\n"
    "Find all the chunk names in the file that start with the string *match*.\n"
    "\n"
    "Args:\n"
    "    match (str): Prefix of the names to find; the empty string finds\n"
    "        every name.\n"
    "\n"
    "Returns:\n"
    "    list[str]: The matching names, in the order the file lists them.\n";

}  // namespace rux_fl

#endif  // RUX_FL_DOCSTRINGS_H
